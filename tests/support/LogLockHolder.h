#pragma once
// Another process that takes the log's folder lock (ZAQ_SDK_LOGS.lock): it holds it until
// released, or, in a loop, holds it for a while and lets go for a moment, as a local user
// could to stall every process that waits for it.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <string>

class LogLockHolder {
public:
    // With nHoldMs < 0 the lock is held until Release; otherwise held nHoldMs, let go
    // nGapMs, again and again.
    explicit LogLockHolder(const std::string& lockPath, int nHoldMs = -1, int nGapMs = 0) {
        int ready[2], release[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) return;
        if (::pipe2(release, O_CLOEXEC) != 0) {
            ::close(ready[0]);
            ::close(ready[1]);
            return;
        }
        m_pid = ::fork();
        if (m_pid == 0) {
            ::close(ready[0]);
            ::close(release[1]);
            int fd = ::open(lockPath.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0660);
            // Nothing else of the parent's stays open here: a socket kept alive by this
            // child would hide its peer's close from the parent.
            int keep[] = {ready[1], release[0], fd};
            std::sort(std::begin(keep), std::end(keep));
            unsigned next = 0;
            for (int k : keep) {
                if (k >= 0 && static_cast<unsigned>(k) > next) ::close_range(next, static_cast<unsigned>(k) - 1, 0);
                if (k >= 0) next = static_cast<unsigned>(k) + 1;
            }
            ::close_range(next, ~0U, 0);
            bool bFirst = true;
            for (;;) {
                char answer = fd >= 0 && ::flock(fd, LOCK_EX) == 0 ? 'L' : 'F';
                if (bFirst) {
                    (void)!::write(ready[1], &answer, 1);
                    bFirst = false;
                }
                if (answer != 'L' || Released(release[0], nHoldMs)) break;
                ::flock(fd, LOCK_UN);
                if (Released(release[0], nGapMs)) break;
            }
            ::_exit(0);  // the kernel drops the lock with the process
        }
        ::close(ready[1]);
        ::close(release[0]);
        m_release = release[1];
        char answer = 0;
        while (m_pid > 0 && ::read(ready[0], &answer, 1) < 0 && errno == EINTR) {
        }
        ::close(ready[0]);
        m_bHolding = answer == 'L';
    }
    ~LogLockHolder() { Release(); }
    LogLockHolder(const LogLockHolder&) = delete;
    LogLockHolder& operator=(const LogLockHolder&) = delete;

    // True once the first hold was taken.
    bool Holding() const { return m_bHolding; }
    void Release() {
        if (m_release >= 0) ::close(m_release);
        m_release = -1;
        if (m_pid > 0) {
            int status = 0;
            while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
            }
        }
        m_pid = -1;
        m_bHolding = false;
    }

private:
    // Waits up to nMs (for ever when negative); true when the parent let go of the pipe.
    static bool Released(int fd, int nMs) {
        pollfd p{fd, POLLIN, 0};
        int rc;
        while ((rc = ::poll(&p, 1, nMs)) < 0 && errno == EINTR) {
        }
        return rc != 0;
    }

    pid_t m_pid = -1;
    int m_release = -1;
    bool m_bHolding = false;
};
