#pragma once
// The printer on a LAN: the raw data channel (TCP), the status channel (TCP) that hands
// out queued answers, and discovery replies (UDP), all on one IPv4 address.
#include <netinet/in.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"
#include "sim/Sim.h"
#include "sim/Transport.h"

namespace sim {

class LanTransport : public Transport {
public:
    LanTransport(const LanConfig& config, PrinterCore& core, Transcript& transcript);
    ~LanTransport() override;

    const char* Name() const override { return "lan"; }
    BOOL Open() override;
    void AddWaits(std::vector<pollfd>& fds, DWORD now, DWORD* pdwWait) override;
    void Service(std::span<const pollfd> fds, DWORD now) override;
    void DropDataLinks(const char* pszReason) override;
    void SetReachable(bool bReachable, bool bRefuse) override;
    void Close() override;

    WORD DataPort() const { return m_data.wPort; }
    WORD StatusPort() const { return m_status.wPort; }
    WORD DiscoveryPort() const { return m_wUdpPort; }

private:
    // A TCP endpoint that either listens or only holds its port: a bound socket that does
    // not listen makes the kernel refuse connections.
    struct Listener {
        UniqueFd fd;
        WORD wPort = 0;
        bool bListening = false;
    };
    struct Conn {
        UniqueFd fd;
        std::string szPeer;
        std::vector<BYTE> in;
        std::vector<BYTE> out;
        bool bStatus = false;
        unsigned nId = 0;  // data connections are numbered for the printer core
    };

    BOOL OpenListener(Listener& l, WORD wPort);
    BOOL Rebind(Listener& l);
    void SetListening(Listener& l, bool bListen);
    void Accept(Listener& l, bool bStatus);
    void ServeData(Conn& c, DWORD now);
    void ServeStatus(Conn& c, DWORD now);
    void ServeDiscovery();
    void CloseConn(Conn& c, const char* pszBy, bool bAbort);
    void Flush(Conn& c);

    LanConfig m_config;
    PrinterCore& m_core;
    unsigned m_nConnections = 0;
    Transcript& m_transcript;
    sockaddr_in m_addr{};
    Listener m_data;
    Listener m_status;
    UniqueFd m_udp;
    WORD m_wUdpPort = 0;
    std::vector<std::unique_ptr<Conn>> m_conns;
    bool m_bReachable = true;
    const char* m_pszLinkState = "";  // last state put in the transcript
};

}  // namespace sim
