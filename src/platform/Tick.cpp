#include "platform/Tick.h"

#include <cerrno>
#include <climits>
#include <ctime>

DWORD GetTickCount() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

void Sleep(DWORD dwMilliseconds) noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    timespec until = now;
    until.tv_sec += static_cast<time_t>(dwMilliseconds / 1000u);
    until.tv_nsec += static_cast<long>(dwMilliseconds % 1000u) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

int TimeoutToPoll(DWORD dwTimeout) noexcept {
    if (dwTimeout == INFINITE) return -1;
    return dwTimeout > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(dwTimeout);
}
