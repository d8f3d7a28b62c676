#include "log/LogFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "log/LogFormat.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"

namespace {

constexpr mode_t kSharedFolderMode = 01777;  // everyone may create; only owners may remove
constexpr mode_t kUserFolderMode = 0700;
constexpr mode_t kFileMode = 0666;           // other users' runs append to the same file
constexpr int kOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// Serialises the writers of this process (flock alone does too, but the dated-name
// cache needs a lock the thread checkers understand).
std::mutex g_writeMutex;
std::string g_datedName;
int g_datedYear = 0, g_datedMonth = 0, g_datedDay = 0;
// Set when a wait for the folder lock ran out; cleared by the next entry that gets it.
bool g_bLockStuck = false;
// Entries lost to a held lock, told in the log by the next entry written.
unsigned g_uDroppedEntries = 0;

bool IsUsableFolder(const std::string& path) { return IsDirectory(path) && ::access(path.c_str(), W_OK | X_OK) == 0; }

// Gives the shared folder its mode when this user owns it; otherwise leaves it as it is.
void LogSecureFolder(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || st.st_uid != ::geteuid()) return;
    if ((st.st_mode & 07777) != kSharedFolderMode) (void)::chmod(path.c_str(), kSharedFolderMode);
}

std::string SharedFolder() {
    std::string base = SysPath("/var/log");
    if (!IsDirectory(base)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return {};
    }
    std::string zaq = base + "/ZAQ";
    if (!EnsureDirectory(zaq, 0755)) return {};
    std::string logs = zaq + "/Logs";
    if (!EnsureDirectory(logs, kSharedFolderMode)) return {};
    LogSecureFolder(logs);
    if (!IsUsableFolder(logs)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return {};
    }
    return logs;
}

std::string UserFolder() {
    std::string state = XdgStateHome();
    if (state.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return {};
    }
    std::string logs = state + "/ZAQ/Logs";
    if (!EnsureDirectories(logs, kUserFolderMode) || !IsUsableFolder(logs)) return {};
    return logs;
}

// Makes a file this process created usable by the other users of the shared folder.
void ShareIfOwned(int fd, const struct stat& st) {
    if (st.st_uid == ::geteuid() && (st.st_mode & 0777) != kFileMode) (void)::fchmod(fd, kFileMode);
}

// Another user's process may hold the folder lock for as long as it likes; an update
// must not stall behind it, so a wait is bounded and, once one has run out, entries only
// try the lock until it is free again.
constexpr DWORD kLockWaitMs = 2000;
constexpr DWORD kLockFirstPollMs = 1;
constexpr DWORD kLockLongestPollMs = 16;

class FolderLock {
public:
    enum class State { Locked, Busy, Failed };

    FolderLock(const std::string& folder, bool bWait) {
        std::string path = folder + "/" + kLogLockName;
        m_fd.Reset(::open(path.c_str(), O_RDWR | O_CREAT | kOpenFlags, kFileMode));
        if (!m_fd) m_fd.Reset(::open(path.c_str(), O_RDONLY | kOpenFlags));
        if (!m_fd) return;
        struct stat st {};
        if (::fstat(m_fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            m_fd.Reset();
            return;
        }
        ShareIfOwned(m_fd.Get(), st);
        m_state = bWait ? WaitForLock() : TryLock();
    }
    // Closing the descriptor releases the lock; the kernel also releases it if we die.
    State Result() const { return m_state; }

private:
    State TryLock() {
        int rc;
        while ((rc = ::flock(m_fd.Get(), LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
        }
        if (rc == 0) return State::Locked;
        return errno == EWOULDBLOCK ? State::Busy : State::Failed;
    }

    State WaitForLock() {
        Deadline deadline(kLockWaitMs);
        DWORD dwPoll = kLockFirstPollMs;
        State state;
        while ((state = TryLock()) == State::Busy) {
            DWORD dwLeft = deadline.Remaining();
            if (dwLeft == 0) break;
            Sleep(std::min(dwPoll, dwLeft));
            dwPoll = std::min(dwPoll * 2, kLockLongestPollMs);
        }
        return state;
    }

    UniqueFd m_fd;
    State m_state = State::Failed;
};

bool WriteAll(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

std::string ChooseFile(const LogTarget& target, const LocalTime& now) {
    if (!target.fixedName.empty()) return target.folder + "/" + target.fixedName;
    if (g_datedName.empty() || now.year != g_datedYear || now.month != g_datedMonth || now.day != g_datedDay) {
        g_datedName = LogDatedName(target.folder, now);
        g_datedYear = now.year;
        g_datedMonth = now.month;
        g_datedDay = now.day;
        LogCleanOld(target.folder, now, target.dwRetention);
    }
    return g_datedName;
}

// Appends under the lock; returns the file's size before this entry, or -1 when the
// entry was dropped.
off_t AppendToFile(const std::string& path, const std::string& text) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | kOpenFlags, kFileMode));
    if (!fd) return -1;
    struct stat st {};
    // Never write through a FIFO, device or anything else planted under the name, nor into
    // a file that has another name too: O_NOFOLLOW does not see a hard link.
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) return -1;
    if (st.st_size == 0) {
        ShareIfOwned(fd.Get(), st);
        if (!WriteAll(fd.Get(), kLogHeader, kLogHeaderSize)) return -1;
    }
    if (!WriteAll(fd.Get(), text.data(), text.size())) return -1;
    return st.st_size;
}

bool StartsWithHeader(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | kOpenFlags));
    if (!fd) return false;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    char head[kLogHeaderSize];
    std::size_t got = 0;
    while (got < sizeof head) {
        ssize_t r = ::read(fd.Get(), head + got, sizeof head - got);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<std::size_t>(r);
    }
    return got == sizeof head && std::memcmp(head, kLogHeader, sizeof head) == 0;
}

}  // namespace

std::string LogFindFolder() {
    LastErrorGuard keep;
    std::string folder = SharedFolder();
    if (folder.empty()) folder = UserFolder();
    return folder;
}

void LogAppend(const LogTarget& target, const std::string& text, const LocalTime& now) {
    if (target.folder.empty()) return;
    std::lock_guard lock(g_writeMutex);
    FolderLock folderLock(target.folder, !g_bLockStuck);
    switch (folderLock.Result()) {
        case FolderLock::State::Locked: g_bLockStuck = false; break;
        case FolderLock::State::Busy:
            g_bLockStuck = true;
            ++g_uDroppedEntries;
            return;
        case FolderLock::State::Failed: return;
    }
    std::string path = ChooseFile(target, now);
    off_t sizeBefore;
    if (g_uDroppedEntries == 0) {
        sizeBefore = AppendToFile(path, text);
    } else {
        std::string told = LogFormatLine(
            now, 'W', ERROR_TIMEOUT, __LINE__,
            StrPrintf("[log] %u entries dropped while the log lock was held by another process", g_uDroppedEntries));
        sizeBefore = AppendToFile(path, told + text);
        if (sizeBefore >= 0) g_uDroppedEntries = 0;
    }
    if (sizeBefore > static_cast<off_t>(32000000)) {
        // Never replace an older rotated file of the same second; a failed rename is ignored.
        (void)::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, LogRotatedName(target.folder, now).c_str(), RENAME_NOREPLACE);
    }
}

void LogCleanOld(const std::string& folder, const LocalTime& now, DWORD dwRetention) {
    // As the log has always done it: local time against file times, upper 32 bits only.
    ULONGLONG ullNow = LocalTimeAsFileTime(now) >> 32;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return;
    while (dirent* entry = ::readdir(dir.get())) {
        if (::fnmatch("20*.log", entry->d_name, 0) != 0) continue;
        std::string path = folder + "/" + entry->d_name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        ULONGLONG ullWritten = 0;
        if (!GetFileLastWriteTime(path, &ullWritten)) continue;
        if ((ullWritten >> 32) + dwRetention >= ullNow) continue;
        if (StartsWithHeader(path)) (void)::unlink(path.c_str());
    }
}

void LogFileForgetState() {
    std::lock_guard lock(g_writeMutex);
    g_datedName.clear();
    g_bLockStuck = false;
    g_uDroppedEntries = 0;
}
