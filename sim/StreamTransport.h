#pragma once
// The printer's end of a serial-port stream, as a Bluetooth printer speaks on RFCOMM: one
// stream socket carries the host's bytes in and the printer's answers out. A Unix stream
// socket stands in for the radio link; whoever connects to its path (the BlueZ stand-in
// of the tests) hands the other end on to the host. One link at a time, as on RFCOMM.
#include <string>
#include <vector>

#include "platform/UniqueFd.h"
#include "sim/Sim.h"
#include "sim/Transport.h"

namespace sim {

class StreamTransport : public Transport {
public:
    StreamTransport(const StreamConfig& config, PrinterCore& core, Transcript& transcript);
    ~StreamTransport() override;

    const char* Name() const override { return "stream"; }
    BOOL Open() override;
    void AddWaits(std::vector<pollfd>& fds, DWORD now, DWORD* pdwWait) override;
    void Service(std::span<const pollfd> fds, DWORD now) override;
    void DropDataLinks(const char* pszReason) override;
    void SetReachable(bool bReachable, bool bRefuse) override;
    void Close() override;

private:
    BOOL Listen();
    void Accept();
    void ServeLink(DWORD now);
    void Flush();
    void CloseLink(const char* pszBy, bool bAbort, DWORD now);

    StreamConfig m_config;
    PrinterCore& m_core;
    Transcript& m_transcript;
    UniqueFd m_listener;  // absent while the printer is down or refusing: connects fail
    UniqueFd m_link;
    std::vector<BYTE> m_out;
    unsigned m_nLinks = 0;
    bool m_bReachable = true;
};

}  // namespace sim
