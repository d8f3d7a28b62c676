#include "sim/StreamTransport.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/LastError.h"
#include "platform/WinError.h"
#include "sim/PrinterCore.h"
#include "sim/Transcript.h"

namespace sim {
namespace {
constexpr std::size_t kReadChunk = 4096;
}  // namespace

StreamTransport::StreamTransport(const StreamConfig& config, PrinterCore& core, Transcript& transcript)
    : m_config(config), m_core(core), m_transcript(transcript) {}

StreamTransport::~StreamTransport() { Close(); }

BOOL StreamTransport::Open() {
    sockaddr_un a{};
    if (!m_config.bRfcomm && (m_config.szSocketPath.empty() || m_config.szSocketPath.size() >= sizeof a.sun_path)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Listen();
}

namespace {

// The kernel's sockaddr_rc, declared here so the simulator needs no Bluetooth headers.
struct RfcommAddress {
    sa_family_t family;
    BYTE bdaddr[6];  // least significant byte first
    BYTE channel;
};
constexpr int kAfBluetooth = 31;
constexpr int kBtProtoRfcomm = 3;

}  // namespace

BOOL StreamTransport::Listen() {
    if (m_listener) return TRUE;
    if (m_config.bRfcomm) {
        RfcommAddress a{};
        a.family = kAfBluetooth;
        for (int i = 0; i < 6; ++i) a.bdaddr[i] = m_config.rfcommAddress[5 - i];
        a.channel = m_config.bRfcommChannel;
        UniqueFd fd(::socket(kAfBluetooth, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, kBtProtoRfcomm));
        if (!fd || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd.Get(), 1) != 0)
            return SetLastErrorFromSocketErrno(errno);
        m_listener = std::move(fd);
        return TRUE;
    }
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, m_config.szSocketPath.c_str(), m_config.szSocketPath.size());
    ::unlink(a.sun_path);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd.Get(), 4) != 0)
        return SetLastErrorFromSocketErrno(errno);
    m_listener = std::move(fd);
    return TRUE;
}

void StreamTransport::SetReachable(bool bReachable, bool bRefuse) {
    if (!bReachable) CloseLink("printer", true, 0);
    m_bReachable = bReachable;
    if (bReachable && !bRefuse) {
        Listen();
    } else if (m_listener) {
        m_listener.Reset();
        if (!m_config.bRfcomm) ::unlink(m_config.szSocketPath.c_str());
    }
    m_transcript.Add("link", std::move(Fields().Str("state", !bReachable ? "down" : m_listener ? "up" : "refusing").Str("channel", "stream")));
}

void StreamTransport::AddWaits(std::vector<pollfd>& fds, DWORD now, DWORD* pdwWait) {
    (void)pdwWait;
    fds.push_back({m_listener.Get(), POLLIN, 0});
    short ev = 0;
    if (m_core.DataReadable(now) && m_core.DataBudget(now) > 0) ev |= POLLIN;
    // Answers wait in the core until the link can take them.
    if (!m_out.empty() || m_core.AnswersQueued() > 0) ev |= POLLOUT;
    fds.push_back({m_link && ev != 0 ? m_link.Get() : -1, ev, 0});
}

void StreamTransport::Service(std::span<const pollfd> fds, DWORD now) {
    if (fds.size() < 2) return;
    short rev = fds[1].revents;
    if (m_link && (rev & POLLOUT)) Flush();
    if (m_link && (rev & (POLLIN | POLLHUP | POLLERR))) ServeLink(now);
    if (fds[0].revents & POLLIN) Accept();
}

void StreamTransport::Accept() {
    UniqueFd fd(::accept4(m_listener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!fd) return;
    if (m_link) {
        // RFCOMM gives the channel to one host at a time.
        m_transcript.Add("connect", std::move(Fields().Str("channel", "stream").Bool("refused", true)));
        return;
    }
    m_link = std::move(fd);
    m_out.clear();
    ++m_nLinks;
    m_transcript.Add("connect", std::move(Fields().Str("channel", "stream").Int("link", m_nLinks)));
}

void StreamTransport::ServeLink(DWORD now) {
    std::size_t cb = std::min(kReadChunk, m_core.DataBudget(now));
    BYTE buf[kReadChunk];
    ssize_t n = ::recv(m_link.Get(), buf, cb == 0 ? 1 : cb, cb == 0 ? MSG_PEEK : 0);
    if (n > 0) {
        if (cb != 0) m_core.OnDataBytes(std::span<const BYTE>(buf, static_cast<std::size_t>(n)), now, m_nLinks);
        Flush();
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    // As on RFCOMM, which has no half-close: the host's end of sending ends the link.
    CloseLink("host", false, now);
}

void StreamTransport::Flush() {
    std::vector<BYTE> more = m_core.TakeAnswers(SIZE_MAX);
    m_out.insert(m_out.end(), more.begin(), more.end());
    while (!m_out.empty()) {
        ssize_t n = ::send(m_link.Get(), m_out.data(), m_out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            m_out.erase(m_out.begin(), m_out.begin() + n);
            continue;
        }
        return;  // full, or broken: the read side notices a broken link
    }
}

void StreamTransport::CloseLink(const char* pszBy, bool bAbort, DWORD now) {
    if (!m_link) return;
    m_link.Reset();
    m_out.clear();
    m_transcript.Add("disconnect", std::move(Fields().Str("channel", "stream").Str("by", pszBy)));
    if (!bAbort) m_core.OnDataLinkEnd(now, m_nLinks);
}

void StreamTransport::DropDataLinks(const char* pszReason) { CloseLink(pszReason, true, 0); }

void StreamTransport::Close() {
    CloseLink("printer", true, 0);
    if (m_listener) {
        m_listener.Reset();
        if (!m_config.bRfcomm) ::unlink(m_config.szSocketPath.c_str());
    }
}

}  // namespace sim
