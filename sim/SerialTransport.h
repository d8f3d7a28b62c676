#pragma once
// The printer on a serial line: a pty whose slave is published as <sysroot>/dev/<name>,
// with the sysfs class entry of its kind (and, for the USB kinds, the USB device's vendor
// ID, its port chain and serial number), so that the host finds and opens it as it would
// a real tty. The line rate paces what the printer reads, as a UART does. A restart takes
// the node away and brings a new one back under the same name, or, as cdc-acm does, under
// the next free number when the host still held the old node (bAcmKeepsHeldNumber).
#include <string>
#include <vector>

#include "platform/UniqueFd.h"
#include "sim/Sim.h"
#include "sim/Transport.h"

namespace sim {

// The sysfs entries of tty NAME of a kind ("uart", "acm", "usb-serial"; another kind makes
// only the class folder) under root: sys/class/tty/NAME/device links to the device's
// folder; a UART gets "type" (4, or 0 without hardware), a USB kind the USB device's
// idVendor, bus and device numbers and serial number (none when empty), in the folder of
// its port chain (empty: "2-1.(N + 1)" of the name's number N). FALSE when the tree
// cannot be made.
bool PublishTtySysfs(const std::string& root, const std::string& name, const std::string& kind, WORD wVendor,
                     bool bUartPresent = true, const std::string& szChain = {}, const std::string& szSerial = {});

class SerialTransport : public Transport {
public:
    SerialTransport(const SerialConfig& config, PrinterCore& core, Transcript& transcript);
    ~SerialTransport() override;

    const char* Name() const override { return "serial"; }
    BOOL Open() override;
    void AddWaits(std::vector<pollfd>& fds, DWORD now, DWORD* pdwWait) override;
    void Service(std::span<const pollfd> fds, DWORD now) override;
    void DropDataLinks(const char* pszReason) override;
    void SetReachable(bool bReachable, bool bRefuse) override;
    void Close() override;

    std::string NodePath() const { return m_szNode; }
    // The tty's name now (another one after a restart while held, see above).
    const std::string& TtyName() const { return m_szName; }

private:
    BOOL Publish();
    void Unpublish();
    bool PublishSysfs() const;
    void TakeNextFreeName();
    std::size_t LineBudget(DWORD now);
    void FlushAnswers();

    SerialConfig m_config;
    PrinterCore& m_core;
    Transcript& m_transcript;
    std::string m_szName;
    std::string m_szNode;
    bool m_bHeldAtRestart = false;
    UniqueFd m_master;
    UniqueFd m_slaveKeep;  // keeps the pty alive between the host's opens
    std::vector<BYTE> m_out;
    unsigned m_nLink = 0;
    bool m_bPublished = false;
    double m_dTokens = 0;
    DWORD m_dwTokenTick = 0;
};

}  // namespace sim
