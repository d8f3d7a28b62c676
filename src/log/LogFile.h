#pragma once
// The log's files: the folder, opening the file, appending, rotation, clean-up. Only the
// log's writer (its thread, or the caller where no thread runs) calls the writing side.
#include <string>
#include <vector>

#include "platform/Time.h"
#include "platform/Types.h"

inline constexpr const char kLogLockName[] = "ZAQ_SDK_LOGS.lock";
// The printer administrators, who share the machine's log folder.
inline constexpr const char kLogAdminGroup[] = "lpadmin";

// The folder found for this run.
struct LogFolderChoice {
    std::string folder;  // empty when none can be had (the last error tells why)
    // Set when the shared folder was passed over because every user may write it (an
    // older install): the line that tells so, to be logged once.
    std::string note;
};

// The shared folder under /var/log when this user may write it and nobody outside its
// owner and group may; otherwise the per-user folder.
LogFolderChoice LogFindFolder();
// $XDG_STATE_HOME/ZAQ/Logs, made when missing; empty when it cannot be had.
std::string LogUserFolder();

// Where entries go: a fixed name, or the dated name of the day (cleaning up old dated
// files when the day changes).
struct LogTarget {
    std::string folder;
    std::string fixedName;  // with ".log"; empty for dated files
    DWORD dwRetention = 0;
};

// Appends finished entries, in order, to the target's file. The file is opened without
// creating it, or created exclusively; one that is not a plain file of ours (a link, a
// FIFO, another user's file) is never written through: the entries go to the per-user
// folder instead, which is then used until LogBeginFile. Nothing here waits on a lock
// another process holds for longer than a short bounded time, and only the header of a
// new file and rotation take that lock.
void LogWriteEntries(const LogTarget& target, const std::vector<std::string>& entries, const LocalTime& now);

// Deletes the target's fixed-name file, so that the next entry begins a new one, and
// goes back from the per-user folder to the target's own.
void LogBeginFile(const LogTarget& target);

// The folder the writer moved to after refusing a file; empty when none.
std::string LogRedirectedFolder();

// Deletes dated files older than the retention that begin with the log header.
void LogCleanOld(const std::string& folder, const LocalTime& now, DWORD dwRetention);

// Forgets the dated name, the redirection and what was told (tests only).
void LogFileForgetState();
// In the child of a fork: the writer's state starts afresh (its lock may have been held
// by a thread the child does not have).
void LogFileAfterFork() noexcept;
