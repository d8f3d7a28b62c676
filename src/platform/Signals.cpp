#include "platform/Signals.h"

#include <sys/signalfd.h>

#include <pthread.h>

#include <cerrno>
#include <mutex>

namespace {

// A library that forks and execs a helper (libdbus starting dbus-launch, say) would hand
// it this program's blocked signals and ignored SIGPIPE, and `kill PID` would not end it.
// Runs in the child of every fork(); posix_spawn sets its own (SpawnProcess).
void ClearSignalsInChild() noexcept {
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
}

}  // namespace

UniqueFd BlockCloseSignals() {
    static std::once_flag once;
    std::call_once(once, [] { pthread_atfork(nullptr, nullptr, &ClearSignalsInChild); });
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return UniqueFd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

int ReadCloseSignal(int fd) noexcept {
    if (fd < 0) return -1;
    signalfd_siginfo info{};
    for (;;) {
        ssize_t n = ::read(fd, &info, sizeof info);
        if (n == static_cast<ssize_t>(sizeof info)) return static_cast<int>(info.ssi_signo);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return 0;
        return -1;
    }
}
