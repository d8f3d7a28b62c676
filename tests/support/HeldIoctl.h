#pragma once
// usblp's soft reset as the kernel runs it: the ioctl holds the driver's lock and waits in
// usb_control_msg for the printer's answer (up to its 5 s control time-out, not
// interruptible). A pty has no such request, so a seccomp user-notification filter stands
// in: it holds every ioctl of one request number in the kernel until the test lets it go
// with the result it chooses. The filter covers the thread that installs it and the
// threads that thread starts afterwards, nothing else of the test.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/Types.h"
#include "platform/UniqueFd.h"

class HeldIoctl {
public:
    explicit HeldIoctl(unsigned long request) : m_request(request) {}
    // Closing the listener lets a call still held return (ENOSYS).
    ~HeldIoctl() = default;
    HeldIoctl(const HeldIoctl&) = delete;
    HeldIoctl& operator=(const HeldIoctl&) = delete;

    // On the calling thread. False (errno kept in Errno()) where the kernel refuses
    // seccomp filters or user notification.
    bool InstallOnThisThread() {
#if defined(__x86_64__)
        constexpr unsigned kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
        constexpr unsigned kArch = AUDIT_ARCH_AARCH64;
#else
        return Refused(ENOSYS);
#endif
        const unsigned cmd = static_cast<unsigned>(m_request);
        sock_filter code[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ioctl, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            // The request's low word (little-endian): usblp compares 32 bits too.
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[1])),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, cmd, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
        };
        sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return Refused(errno);
        const long fd = ::syscall(__NR_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &prog);
        if (fd < 0) return Refused(errno);
        m_listener.Reset(static_cast<int>(fd));
        m_nState = 1;
        return true;
    }
    // Waits until InstallOnThisThread has run on its thread: 0 installed, else the errno
    // of the refusal.
    int WaitInstalled() const {
        while (m_nState.load() == 0) ::usleep(1000);
        return m_nState.load() == 1 ? 0 : m_nErrno;
    }

    // Waits up to dwTimeout ms for a call to arrive and holds it; *pFd is the descriptor
    // it was made on.
    bool WaitForCall(DWORD dwTimeout, int* pFd) {
        pollfd p{m_listener.Get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(dwTimeout)) != 1) return false;
        seccomp_notif req;
        std::memset(&req, 0, sizeof req);
        if (::ioctl(m_listener.Get(), SECCOMP_IOCTL_NOTIF_RECV, &req) != 0) return false;
        m_id = req.id;
        *pFd = static_cast<int>(req.data.args[0]);
        return true;
    }
    // The held call is still in the kernel (its caller has not given up on it).
    bool StillHeld() {
        __u64 id = m_id;
        return ::ioctl(m_listener.Get(), SECCOMP_IOCTL_NOTIF_ID_VALID, &id) == 0;
    }
    // Lets the held call return: 0, or -1 with errno err.
    bool Release(int err) {
        seccomp_notif_resp resp;
        std::memset(&resp, 0, sizeof resp);
        resp.id = m_id;
        resp.error = -err;
        return ::ioctl(m_listener.Get(), SECCOMP_IOCTL_NOTIF_SEND, &resp) == 0;
    }

private:
    bool Refused(int err) {
        m_nErrno = err;
        m_nState = 2;
        return false;
    }

    unsigned long m_request;
    UniqueFd m_listener;
    std::atomic<int> m_nState{0};
    int m_nErrno = 0;
    __u64 m_id = 0;
};
