#include "sim/LanTransport.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/WinError.h"
#include "sim/Contract.h"
#include "sim/PrinterCore.h"
#include "sim/Transcript.h"

namespace sim {
namespace {

constexpr std::size_t kReadChunk = 4096;
// A slow reader also keeps its socket buffer small, so the host's writes back up.
constexpr int kSlowRcvBuf = 2048;

std::string PeerText(const sockaddr_in& a) {
    char buf[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, buf, sizeof buf);
    return StrPrintf("%s:%u", buf, ntohs(a.sin_port));
}

WORD BoundPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

}  // namespace

LanTransport::LanTransport(const LanConfig& config, PrinterCore& core, Transcript& transcript)
    : m_config(config), m_core(core), m_transcript(transcript) {}

LanTransport::~LanTransport() { Close(); }

BOOL LanTransport::Open() {
    m_addr.sin_family = AF_INET;
    if (inet_pton(AF_INET, m_config.szAddress.c_str(), &m_addr.sin_addr) != 1) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!OpenListener(m_data, m_config.wDataPort) || !OpenListener(m_status, m_config.wStatusPort)) {
        LastErrorGuard keep;
        Close();
        return FALSE;
    }
    if (m_config.bDiscovery) {
        m_udp.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        sockaddr_in a = m_addr;
        a.sin_port = htons(m_config.wDiscoveryPort);
        if (m_config.bDiscoveryAny) a.sin_addr.s_addr = htonl(INADDR_ANY);
        int one = 1;
        if (!m_udp || setsockopt(m_udp.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
            bind(m_udp.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            SetLastErrorFromSocketErrno(errno);
            LastErrorGuard keep;
            Close();
            return FALSE;
        }
        m_wUdpPort = BoundPort(m_udp.Get());
    }
    return TRUE;
}

BOOL LanTransport::OpenListener(Listener& l, WORD wPort) {
    l.wPort = wPort;
    l.fd.Reset();
    if (!Rebind(l)) return FALSE;
    l.wPort = BoundPort(l.fd.Get());
    return TRUE;
}

BOOL LanTransport::Rebind(Listener& l) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) return SetLastErrorFromSocketErrno(errno);
    int one = 1;
    sockaddr_in a = m_addr;
    a.sin_port = htons(l.wPort);
    if (setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        return SetLastErrorFromSocketErrno(errno);
    // Accepted links inherit the buffer size; setting it later does not shrink the window.
    if (&l == &m_data && m_core.GetFaults().dwReadRate)
        setsockopt(fd.Get(), SOL_SOCKET, SO_RCVBUF, &kSlowRcvBuf, sizeof kSlowRcvBuf);
    l.fd = std::move(fd);
    l.bListening = false;
    return TRUE;
}

void LanTransport::SetListening(Listener& l, bool bListen) {
    if (l.bListening == bListen) return;
    if (bListen) {
        if (!l.fd && !Rebind(l)) return;
        l.bListening = ::listen(l.fd.Get(), 16) == 0;
        return;
    }
    // A listening socket cannot stop listening; a fresh one bound to the same port refuses.
    l.fd.Reset();
    Rebind(l);
}

void LanTransport::SetReachable(bool bReachable, bool bRefuse) {
    if (!bReachable) {
        for (auto& c : m_conns) CloseConn(*c, "printer", true);
        m_conns.clear();
    }
    m_bReachable = bReachable;
    SetListening(m_data, bReachable && !bRefuse);
    SetListening(m_status, bReachable && !bRefuse);
    const char* pszState = !bReachable ? "down" : m_data.bListening && m_status.bListening ? "up" : "refusing";
    if (std::string_view(m_pszLinkState) != pszState) {
        m_pszLinkState = pszState;
        m_transcript.Add("link", std::move(Fields().Str("state", pszState)));
    }
}

void LanTransport::AddWaits(std::vector<pollfd>& fds, DWORD now, DWORD* pdwWait) {
    (void)pdwWait;  // the core's timers cover slow reads and busy spells
    fds.push_back({m_data.bListening ? m_data.fd.Get() : -1, POLLIN, 0});
    fds.push_back({m_status.bListening ? m_status.fd.Get() : -1, POLLIN, 0});
    fds.push_back({m_udp.Get(), POLLIN, 0});
    bool bReadData = m_core.DataReadable(now) && m_core.DataBudget(now) > 0;
    for (auto& c : m_conns) {
        short ev = POLLIN;
        if (!c->out.empty()) ev |= POLLOUT;
        bool bWait = c->bStatus || bReadData;
        fds.push_back({bWait ? c->fd.Get() : -1, ev, 0});
    }
}

void LanTransport::Service(std::span<const pollfd> fds, DWORD now) {
    if (fds.size() < 3) return;
    // Connections accepted below are served from the next round on.
    std::size_t nConns = std::min(m_conns.size(), fds.size() - 3);
    for (std::size_t i = 0; i < nConns; ++i) {
        Conn& c = *m_conns[i];
        short rev = fds[3 + i].revents;
        if (!rev || !c.fd) continue;
        if (c.bStatus) {
            if (rev & POLLOUT) Flush(c);
            if (c.fd && (rev & (POLLIN | POLLHUP | POLLERR))) ServeStatus(c, now);
        } else if (rev & (POLLIN | POLLHUP | POLLERR)) {
            ServeData(c, now);
        }
    }
    m_conns.erase(std::remove_if(m_conns.begin(), m_conns.end(), [](const auto& c) { return !c->fd; }), m_conns.end());
    if (fds[0].revents & POLLIN) Accept(m_data, false);
    if (fds[1].revents & POLLIN) Accept(m_status, true);
    if (fds[2].revents & POLLIN) ServeDiscovery();
}

void LanTransport::Accept(Listener& l, bool bStatus) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    int fd = ::accept4(l.fd.Get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    auto c = std::make_unique<Conn>();
    c->fd.Reset(fd);
    c->szPeer = PeerText(peer);
    c->bStatus = bStatus;
    c->nId = ++m_nConnections;
    if (!bStatus && m_core.GetFaults().dwReadRate) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSlowRcvBuf, sizeof kSlowRcvBuf);
    m_transcript.Add("connect", std::move(Fields().Str("channel", bStatus ? "status" : "data").Str("peer", c->szPeer)));
    m_conns.push_back(std::move(c));
}

void LanTransport::ServeData(Conn& c, DWORD now) {
    std::size_t cb = std::min(kReadChunk, m_core.DataBudget(now));
    if (cb == 0) return;
    BYTE buf[kReadChunk];
    ssize_t n = ::recv(c.fd.Get(), buf, cb, 0);
    if (n > 0) {
        m_core.OnDataBytes(std::span<const BYTE>(buf, static_cast<std::size_t>(n)), now, c.nId);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    CloseConn(c, "host", false);
    m_core.OnDataLinkEnd(now, c.nId);
}

void LanTransport::ServeStatus(Conn& c, DWORD now) {
    BYTE buf[1024];
    ssize_t n = ::recv(c.fd.Get(), buf, sizeof buf, 0);
    if (n <= 0) {
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        CloseConn(c, "host", false);
        return;
    }
    c.in.insert(c.in.end(), buf, buf + n);
    while (c.in.size() >= STATUS_MSG_LEN) {
        std::vector<BYTE> req(c.in.begin(), c.in.begin() + STATUS_MSG_LEN);
        c.in.erase(c.in.begin(), c.in.begin() + STATUS_MSG_LEN);
        std::vector<BYTE> reply = m_core.OnStatusRequest(req, now);
        c.out.insert(c.out.end(), reply.begin(), reply.end());
    }
    Flush(c);
}

void LanTransport::Flush(Conn& c) {
    while (!c.out.empty()) {
        ssize_t n = ::send(c.fd.Get(), c.out.data(), c.out.size(), MSG_NOSIGNAL);
        if (n > 0) {
            c.out.erase(c.out.begin(), c.out.begin() + n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        CloseConn(c, "host", false);
        return;
    }
}

void LanTransport::ServeDiscovery() {
    BYTE buf[2048];
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    ssize_t n = ::recvfrom(m_udp.Get(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&peer), &len);
    if (n < 0) return;
    std::vector<BYTE> reply;
    bool bAnswer = m_bReachable &&
                   m_core.OnDiscoveryQuery(std::span<const BYTE>(buf, static_cast<std::size_t>(n)), m_config.szAddress, &reply);
    if (bAnswer) ::sendto(m_udp.Get(), reply.data(), reply.size(), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&peer), len);
    m_transcript.Add("discovery", std::move(Fields().Str("peer", PeerText(peer)).Int("bytes", n).Bool("answered", bAnswer)));
}

void LanTransport::CloseConn(Conn& c, const char* pszBy, bool bAbort) {
    if (!c.fd) return;
    if (bAbort) {
        // Reset instead of an orderly close: a printer that restarts just vanishes.
        linger lg{1, 0};
        setsockopt(c.fd.Get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    c.fd.Reset();
    m_transcript.Add("disconnect",
                     std::move(Fields().Str("channel", c.bStatus ? "status" : "data").Str("peer", c.szPeer).Str("by", pszBy)));
}

void LanTransport::DropDataLinks(const char* pszReason) {
    for (auto& c : m_conns)
        if (!c->bStatus) CloseConn(*c, pszReason, true);
    m_conns.erase(std::remove_if(m_conns.begin(), m_conns.end(), [](const auto& c) { return !c->fd; }), m_conns.end());
}

void LanTransport::Close() {
    for (auto& c : m_conns) CloseConn(*c, "printer", true);
    m_conns.clear();
    m_data.fd.Reset();
    m_data.bListening = false;
    m_status.fd.Reset();
    m_status.bListening = false;
    m_udp.Reset();
}

}  // namespace sim
