#pragma once
// Local time with milliseconds and Windows-style file times (100 ns units since 1601).
#include <ctime>
#include <string>

#include "platform/Types.h"

struct LocalTime {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
};

LocalTime GetLocalTime() noexcept;
LocalTime ToLocalTime(const timespec& ts) noexcept;

// The local date and time read as a file time without conversion to universal time.
ULONGLONG LocalTimeAsFileTime(const LocalTime& lt) noexcept;
// A point in time (seconds since 1970, UTC) as a file time.
ULONGLONG UnixTimeToFileTime(const timespec& ts) noexcept;
// Last-write time of a file (not following a final symbolic link). FALSE with the last error.
BOOL GetFileLastWriteTime(const std::string& path, ULONGLONG* pFileTime) noexcept;
