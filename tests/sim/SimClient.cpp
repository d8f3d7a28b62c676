#include "SimClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/Tick.h"

namespace simtest {

UniqueFd ConnectTcp(const std::string& address, WORD port, int* pErrno) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (pErrno) *pErrno = errno;
        return UniqueFd();
    }
    return fd;
}

bool SendAll(int fd, const Bytes& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool RecvExact(int fd, std::size_t cb, Bytes* pOut, DWORD dwTimeout) {
    Deadline deadline(dwTimeout);
    pOut->clear();
    while (pOut->size() < cb) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, TimeoutToPoll(deadline.Remaining()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        BYTE buf[4096];
        ssize_t n = ::recv(fd, buf, std::min(sizeof buf, cb - pOut->size()), 0);
        if (n <= 0) return false;
        pOut->insert(pOut->end(), buf, buf + n);
    }
    return true;
}

bool WaitClosed(int fd, DWORD dwTimeout) {
    Deadline deadline(dwTimeout);
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, TimeoutToPoll(deadline.Remaining()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        BYTE buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return true;
    }
}

bool StatusExchange(const std::string& address, WORD port, BYTE cmd, WORD counter, WORD size, Bytes* pHeader,
                    Bytes* pData) {
    UniqueFd fd = ConnectTcp(address, port);
    if (!fd) return false;
    Bytes req{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, cmd, 0x00, 0x00, BYTE(counter & 0xFF), BYTE(counter >> 8),
              BYTE(size & 0xFF), BYTE(size >> 8)};
    if (!SendAll(fd.Get(), req) || !RecvExact(fd.Get(), 13, pHeader, 5000)) return false;
    std::size_t cb = (*pHeader)[11] | ((*pHeader)[12] << 8);
    return RecvExact(fd.Get(), cb, pData, 5000);
}

Bytes StdCommand(BYTE fn) { return {0x1D, 0x49, fn}; }
Bytes ExtCommand(BYTE fn) { return {0x1F, 0x4C, 0x44, 0x31, 0x04, 0x00, 0x00, 0x00, 0x49, 0x44, 0x54, fn}; }
Bytes Header20(BYTE a, BYTE b) {
    Bytes h{0x11, 0x40};
    for (int i = 0; i < 4; ++i) h.insert(h.end(), {0xAA, 0x55, 0x00, 0xFF});
    h.push_back(a);
    h.push_back(b);
    return h;
}

}  // namespace simtest
