#include "port/Icmp.h"

#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/Event.h"
#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"

namespace {

std::uint16_t InternetChecksum(const unsigned char* p, std::size_t cb) {
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i + 1 < cb; i += 2) sum += static_cast<std::uint32_t>(p[i] << 8 | p[i + 1]);
    if (cb % 2 != 0) sum += static_cast<std::uint32_t>(p[cb - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

}  // namespace

CIcmpEcho::CIcmpEcho() noexcept {
    // Ping sockets need no privilege where net.ipv4.ping_group_range admits our group.
    m_fd.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP));
    if (!m_fd) {
        m_fd.Reset(::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP));
        m_bRaw = m_fd.Valid();
        if (!m_fd) SetLastErrorFromSocketErrno(errno);
    }
    m_wId = static_cast<std::uint16_t>(::getpid() ^ reinterpret_cast<std::uintptr_t>(this));
}

bool CIcmpEcho::IsOurReply(const unsigned char* p, std::size_t cb, const sockaddr_in& from, in_addr addr) const noexcept {
    if (from.sin_addr.s_addr != addr.s_addr) return false;
    if (m_bRaw) {
        if (cb < sizeof(iphdr)) return false;
        std::size_t cbIp = static_cast<std::size_t>(reinterpret_cast<const iphdr*>(p)->ihl) * 4;
        if (cb < cbIp + sizeof(icmphdr)) return false;
        p += cbIp;
        cb -= cbIp;
    }
    if (cb < sizeof(icmphdr)) return false;
    icmphdr hdr;
    std::memcpy(&hdr, p, sizeof hdr);
    // A ping socket's identifier is the kernel's; only a raw socket sees ours.
    if (m_bRaw && ntohs(hdr.un.echo.id) != m_wId) return false;
    return hdr.type == ICMP_ECHOREPLY && ntohs(hdr.un.echo.sequence) == m_wSeq;
}

BOOL CIcmpEcho::Echo(in_addr addr, const void* pPayload, std::size_t cbPayload, DWORD dwTimeout, DWORD* pcbData) noexcept {
    *pcbData = 0;
    if (!m_fd) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::vector<unsigned char> request(sizeof(icmphdr) + cbPayload);
    icmphdr hdr{};
    hdr.type = ICMP_ECHO;
    hdr.un.echo.id = htons(m_wId);
    hdr.un.echo.sequence = htons(++m_wSeq);
    std::memcpy(request.data(), &hdr, sizeof hdr);
    std::memcpy(request.data() + sizeof hdr, pPayload, cbPayload);
    std::uint16_t sum = htons(InternetChecksum(request.data(), request.size()));
    std::memcpy(request.data() + offsetof(icmphdr, checksum), &sum, sizeof sum);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr = addr;
    if (::sendto(m_fd.Get(), request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
        return SetLastErrorFromSocketErrno(errno);
    }
    Deadline deadline(dwTimeout);
    unsigned char reply[1024];
    for (;;) {
        WaitItem item = WaitItem::ForFd(m_fd.Get(), POLLIN);
        DWORD dwWait = WaitForAny(std::span<const WaitItem>(&item, 1), deadline.Remaining());
        if (dwWait == WAIT_TIMEOUT) {
            SetLastError(ERROR_TIMEOUT);
            return FALSE;
        }
        if (dwWait != WAIT_OBJECT_0) return FALSE;
        sockaddr_in from{};
        socklen_t cbFrom = sizeof from;
        ssize_t cb = ::recvfrom(m_fd.Get(), reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from), &cbFrom);
        if (cb < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return SetLastErrorFromSocketErrno(errno);
        }
        if (!IsOurReply(reply, static_cast<std::size_t>(cb), from, addr)) continue;
        std::size_t cbIp = m_bRaw ? static_cast<std::size_t>(reinterpret_cast<const iphdr*>(reply)->ihl) * 4 : 0;
        *pcbData = static_cast<DWORD>(static_cast<std::size_t>(cb) - cbIp - sizeof(icmphdr));
        return TRUE;
    }
}
