#pragma once
// The printer on USB: a usblp node (a pty published with its sysfs entries under a system
// root). The host's writes are the printer's data; answers are written back for the host
// to read. While the printer restarts the node and its entries vanish, and they come back
// under the same number or, when configured, under the next free one.
#include <memory>
#include <vector>

#include "sim/Sim.h"
#include "sim/Transport.h"
#include "sim/UsbNode.h"

namespace sim {

class UsbTransport : public Transport {
public:
    UsbTransport(const UsbConfig& config, const PrinterState& state, PrinterCore& core, Transcript& transcript);
    ~UsbTransport() override;

    const char* Name() const override { return "usb"; }
    BOOL Open() override;
    void AddWaits(std::vector<pollfd>& fds, DWORD now, DWORD* pdwWait) override;
    void Service(std::span<const pollfd> fds, DWORD now) override;
    void DropDataLinks(const char* pszReason) override;
    void SetReachable(bool bReachable, bool bRefuse) override;
    void Close() override;

    // The cable: an unplugged node stays away whatever the printer does.
    void SetPlugged(bool bPlugged);
    unsigned Lp() const { return m_node.Lp(); }

private:
    void Update(const char* pszReason);
    void Flush();

    UsbConfig m_config;
    PrinterCore& m_core;
    Transcript& m_transcript;
    UsbNode m_node;
    std::vector<BYTE> m_out;
    bool m_bReachable = false;
    bool m_bPlugged = true;
    bool m_bWasDown = false;  // the next publish follows a restart
    bool m_bOffBus = false;   // dropped: away until m_dwBackAt
    DWORD m_dwBackAt = 0;
    bool m_bStarted = false;
};

// "USB%03u" of lpN.
std::string UsbPortNameOf(unsigned nLp);
// The device ID a simulated printer reports when none is configured.
std::string DefaultUsbDeviceId(const PrinterState& state);

}  // namespace sim
