#pragma once
// The printer on a real device: the printer's side of a configfs USB gadget whose
// function is a USB printer (/dev/g_printerN) or a CDC-ACM port (/dev/ttyGSN), or the far
// end of a UART (/dev/ttySN wired to the host's). The host side is the kernel's own driver
// (usblp, cdc-acm, 8250). On a gadget a restart, a dropped link and an unplug unbind it
// from its controller, so the host's driver sees the device leave and enumerate again, as
// with a real printer; a UART stays where it is and only goes quiet.
#include <string>
#include <vector>

#include "platform/UniqueFd.h"
#include "sim/Sim.h"
#include "sim/Transport.h"

namespace sim {

class GadgetTransport : public Transport {
public:
    GadgetTransport(const GadgetConfig& config, PrinterCore& core, Transcript& transcript);
    ~GadgetTransport() override;

    const char* Name() const override { return "node"; }
    BOOL Open() override;
    void AddWaits(std::vector<pollfd>& fds, DWORD now, DWORD* pdwWait) override;
    void Service(std::span<const pollfd> fds, DWORD now) override;
    void DropDataLinks(const char* pszReason) override;
    void SetReachable(bool bReachable, bool bRefuse) override;
    void Close() override;

    // The cable: an unplugged gadget stays unbound whatever the printer does.
    void SetPlugged(bool bPlugged);

private:
    void Update(const char* pszReason);
    bool Bind(bool bBind);
    void TryOpenNode(DWORD now);
    void CloseNode();
    void Flush();

    GadgetConfig m_config;
    PrinterCore& m_core;
    Transcript& m_transcript;
    UniqueFd m_node;
    std::vector<BYTE> m_out;
    bool m_bBound = false;
    bool m_bReachable = false;
    bool m_bPlugged = true;
    bool m_bOffBus = false;  // dropped: away until m_dwBackAt
    bool m_bStarted = false;
    DWORD m_dwBackAt = 0;
    DWORD m_dwNextOpen = 0;
};

}  // namespace sim
