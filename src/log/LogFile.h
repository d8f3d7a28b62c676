#pragma once
// The log's files: the folder, the cross-process lock, appending, rotation, clean-up.
#include <string>

#include "platform/Time.h"
#include "platform/Types.h"

inline constexpr const char kLogLockName[] = "ZAQ_SDK_LOGS.lock";

// The shared folder under /var/log, or the per-user folder when that cannot be made or
// written. Empty when neither can be had (the last error tells why).
std::string LogFindFolder();

// Where one entry goes: a fixed name, or the dated name of the day (cleaning up old
// dated files when the day changes).
struct LogTarget {
    std::string folder;
    std::string fixedName;  // with ".log"; empty for dated files
    DWORD dwRetention = 0;
};

// Appends text to the target's file under the folder lock. Any failure drops the entry;
// the lock is waited for only a short time, and not at all after such a wait ran out
// until an entry gets it again. That entry is preceded by a line counting the entries
// the held lock cost.
void LogAppend(const LogTarget& target, const std::string& text, const LocalTime& now);

// Deletes dated files older than the retention that begin with the log header.
void LogCleanOld(const std::string& folder, const LocalTime& now, DWORD dwRetention);

// Forgets the current dated name and the entries dropped behind a held lock (tests only).
void LogFileForgetState();
