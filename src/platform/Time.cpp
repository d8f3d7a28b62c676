#include "platform/Time.h"

#include <sys/stat.h>

#include <cerrno>

#include "platform/LastError.h"

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr ULONGLONG kEpochDelta = 11644473600ull;
constexpr ULONGLONG kTicksPerSecond = 10000000ull;

}  // namespace

LocalTime ToLocalTime(const timespec& ts) noexcept {
    tm t{};
    time_t secs = ts.tv_sec;
    localtime_r(&secs, &t);
    LocalTime lt;
    lt.year = t.tm_year + 1900;
    lt.month = t.tm_mon + 1;
    lt.day = t.tm_mday;
    lt.hour = t.tm_hour;
    lt.minute = t.tm_min;
    lt.second = t.tm_sec;
    lt.millisecond = static_cast<int>(ts.tv_nsec / 1000000L);
    return lt;
}

LocalTime GetLocalTime() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return ToLocalTime(ts);
}

ULONGLONG LocalTimeAsFileTime(const LocalTime& lt) noexcept {
    tm t{};
    t.tm_year = lt.year - 1900;
    t.tm_mon = lt.month - 1;
    t.tm_mday = lt.day;
    t.tm_hour = lt.hour;
    t.tm_min = lt.minute;
    t.tm_sec = lt.second;
    timespec ts{timegm(&t), static_cast<long>(lt.millisecond) * 1000000L};
    return UnixTimeToFileTime(ts);
}

ULONGLONG UnixTimeToFileTime(const timespec& ts) noexcept {
    auto secs = static_cast<long long>(ts.tv_sec) + static_cast<long long>(kEpochDelta);
    if (secs < 0) return 0;
    return static_cast<ULONGLONG>(secs) * kTicksPerSecond + static_cast<ULONGLONG>(ts.tv_nsec) / 100u;
}

BOOL GetFileLastWriteTime(const std::string& path, ULONGLONG* pFileTime) noexcept {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return SetLastErrorFromErrno(errno);
    *pFileTime = UnixTimeToFileTime(st.st_mtim);
    return TRUE;
}
