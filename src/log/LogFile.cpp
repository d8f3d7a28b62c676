#include "log/LogFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <mutex>
#include <utility>

#include "log/LogFormat.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"

namespace {

// Those who may update printers share the folder; nobody else may write it.
constexpr mode_t kSharedFolderMode = 02775;
constexpr mode_t kOldSharedFolderMode = 01777;  // what older installs made
constexpr mode_t kUserFolderMode = 0700;
constexpr mode_t kFileMode = 0660;  // the transmitted bytes are for those who may update printers
constexpr mode_t kLockMode = 0660;  // only the folder's group may hold it
constexpr int kOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// The lock is waited for only this long, and, once a wait ran out, only tried until an
// attempt gets it: another process may hold it as long as it likes.
constexpr DWORD kLockWaitMs = 50;
constexpr DWORD kLockFirstPollMs = 1;
constexpr DWORD kLockLongestPollMs = 16;

// What the writer remembers between batches. Made anew in the child of a fork.
struct WriterState {
    std::mutex mutex;
    std::string datedName;
    int datedYear = 0, datedMonth = 0, datedDay = 0;
    bool bLockStuck = false;
    std::string redirectedFolder;  // the per-user folder, after a refused file
    bool bToldRedirect = false;
    std::map<std::pair<uid_t, gid_t>, bool> members;  // whose files the folder's group may hold
    std::mutex copyMutex;                             // guards only the copy callers read
    std::string redirectedCopy;
    // The file of the last batch, kept open while its name still leads to it: a batch
    // then costs a look at the name instead of an open and its checks.
    UniqueFd keptFd;
    std::string keptPath;
    dev_t keptDev = 0;
    ino_t keptIno = 0;
};

WriterState* g_pWriter = new WriterState;  // never freed: the log outlives every static

bool StatOf(const std::string& path, struct stat* pSt) { return ::lstat(path.c_str(), pSt) == 0; }

bool OwnedBySafeUser(const struct stat& st) { return st.st_uid == 0 || st.st_uid == ::geteuid(); }

// Gives a shared folder that this user owns its group and mode; others leave it as it is.
void LogSecureFolder(const std::string& path) {
    struct stat st {};
    if (!StatOf(path, &st) || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return;
    if (const group* pGroup = ::getgrnam(kLogAdminGroup); pGroup != nullptr && st.st_gid != pGroup->gr_gid) {
        (void)::lchown(path.c_str(), static_cast<uid_t>(-1), pGroup->gr_gid);
    }
    if ((st.st_mode & 07777) != kSharedFolderMode) (void)::chmod(path.c_str(), kSharedFolderMode);
}

std::string SharedFolder(std::string* pNote) {
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
    struct stat stZaq {}, stLogs {};
    if (!StatOf(zaq, &stZaq) || !StatOf(logs, &stLogs) || !S_ISDIR(stZaq.st_mode) || !S_ISDIR(stLogs.st_mode) ||
        !OwnedBySafeUser(stZaq) || !OwnedBySafeUser(stLogs) || (stZaq.st_mode & S_IWOTH) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return {};
    }
    if ((stLogs.st_mode & S_IWOTH) != 0) {
        // Every user could stall, forge or erase what is written there.
        if ((stLogs.st_mode & 07777) == kOldSharedFolderMode && pNote != nullptr) *pNote = logs;
        SetLastError(ERROR_ACCESS_DENIED);
        return {};
    }
    if (::access(logs.c_str(), W_OK | X_OK) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return {};
    }
    return logs;
}

bool IsUserMemberOf(uid_t uid, gid_t gid) {
    std::vector<char> buf(16384);
    passwd pw{};
    passwd* pFound = nullptr;
    if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &pFound) != 0 || pFound == nullptr) return false;
    if (pw.pw_gid == gid) return true;
    int n = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) {
        groups.resize(static_cast<std::size_t>(n));
        if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) return false;
    }
    return std::find(groups.begin(), groups.begin() + n, gid) != groups.begin() + n;
}

// A file the writer may append to: a plain file with no other name, owned by root, by
// this user or by a member of the folder's group, and not writable by everyone.
bool IsTrustedFile(WriterState& w, const struct stat& st, gid_t folderGid) {
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return false;
    if (st.st_uid == ::geteuid()) return true;
    if ((st.st_mode & S_IWOTH) != 0) return false;
    if (st.st_uid == 0) return true;
    auto key = std::make_pair(st.st_uid, folderGid);
    auto it = w.members.find(key);
    if (it == w.members.end()) it = w.members.emplace(key, IsUserMemberOf(st.st_uid, folderGid)).first;
    return it->second;
}

// Opens an existing file without O_CREAT (fs.protected_regular refuses that for another
// user's file in a sticky folder) and creates a missing one only exclusively.
UniqueFd OpenOrCreate(const std::string& path, int flags, mode_t mode, bool* pCreated) {
    *pCreated = false;
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueFd fd(::open(path.c_str(), flags | kOpenFlags));
        if (fd || errno != ENOENT) return fd;
        fd.Reset(::open(path.c_str(), flags | O_CREAT | O_EXCL | kOpenFlags, mode));
        if (fd) {
            *pCreated = true;
            (void)::fchmod(fd.Get(), mode);  // the umask is not the folder's rule
            return fd;
        }
        if (errno != EEXIST) return fd;
    }
    return UniqueFd();
}

class FolderLock {
public:
    enum class State { Locked, Busy, Failed };

    FolderLock(const std::string& folder, bool bWait) {
        bool bCreated = false;
        m_fd = OpenOrCreate(folder + "/" + kLogLockName, O_RDONLY, kLockMode, &bCreated);
        if (!m_fd) return;
        struct stat st {};
        if (::fstat(m_fd.Get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            m_fd.Reset();
            return;
        }
        // An older install's lock file let every user take it.
        if (st.st_uid == ::geteuid() && (st.st_mode & 0777) != kLockMode) (void)::fchmod(m_fd.Get(), kLockMode);
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

// Takes the folder lock for a step that other processes' writers must not do at the same
// time; false when another process holds it (the step then goes ahead without it).
bool TakeFolderLock(WriterState& w, const std::string& folder, std::unique_ptr<FolderLock>* pLock) {
    *pLock = std::make_unique<FolderLock>(folder, !w.bLockStuck);
    switch ((*pLock)->Result()) {
        case FolderLock::State::Locked: w.bLockStuck = false; return true;
        case FolderLock::State::Busy: w.bLockStuck = true; return false;
        case FolderLock::State::Failed: return false;
    }
    return false;
}

// Writes the pieces with as few calls as possible. O_APPEND puts each call's bytes at the
// end as one piece, so no entry is torn by another process's writes.
bool WritePieces(int fd, std::vector<iovec>& pieces) {
    std::size_t first = 0;
    while (first < pieces.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(pieces.size() - first, IOV_MAX));
        ssize_t w = ::writev(fd, pieces.data() + first, count);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        auto left = static_cast<std::size_t>(w);
        while (first < pieces.size() && left >= pieces[first].iov_len) left -= pieces[first++].iov_len;
        if (left > 0) {
            pieces[first].iov_base = static_cast<char*>(pieces[first].iov_base) + left;
            pieces[first].iov_len -= left;
        }
    }
    return true;
}

std::string ChooseFile(WriterState& w, const LogTarget& target, const std::string& folder, const LocalTime& now) {
    if (!target.fixedName.empty()) return folder + "/" + target.fixedName;
    if (w.datedName.empty() || w.datedName.compare(0, folder.size(), folder) != 0 || now.year != w.datedYear ||
        now.month != w.datedMonth || now.day != w.datedDay) {
        w.datedName = LogDatedName(folder, now);
        w.datedYear = now.year;
        w.datedMonth = now.month;
        w.datedDay = now.day;
        LogCleanOld(folder, now, target.dwRetention);
    }
    return w.datedName;
}

enum class Outcome { Written, Refused, Failed };

// The kept file when path still names it (the name looked at without following a link,
// so *pSt describes what the name is now); else none, and the kept file is let go.
UniqueFd TakeKeptFile(WriterState& w, const std::string& path, struct stat* pSt) {
    UniqueFd fd = std::move(w.keptFd);
    if (!fd || w.keptPath != path || !StatOf(path, pSt) || pSt->st_dev != w.keptDev || pSt->st_ino != w.keptIno) {
        return UniqueFd();
    }
    return fd;
}

void KeepFile(WriterState& w, UniqueFd fd, const std::string& path, const struct stat& st) {
    w.keptFd = std::move(fd);
    w.keptPath = path;
    w.keptDev = st.st_dev;
    w.keptIno = st.st_ino;
}

Outcome AppendTo(WriterState& w, const std::string& folder, const std::string& path,
                 const std::vector<std::string>& entries, const std::string& lead, const LocalTime& now) {
    struct stat stFolder {};
    if (::stat(folder.c_str(), &stFolder) != 0) return Outcome::Failed;
    struct stat st {};
    UniqueFd fd = TakeKeptFile(w, path, &st);
    if (!fd) {
        bool bCreated = false;
        fd = OpenOrCreate(path, O_WRONLY | O_APPEND, kFileMode, &bCreated);
        if (!fd) {
            // A symbolic link (ELOOP), a FIFO nobody reads (ENXIO), another user's file (EACCES).
            return errno == ELOOP || errno == ENXIO || errno == EACCES || errno == EPERM ? Outcome::Refused
                                                                                         : Outcome::Failed;
        }
        if (::fstat(fd.Get(), &st) != 0) return Outcome::Failed;
    }
    // O_NOFOLLOW does not see a hard link, nor a FIFO someone reads; a kept file is checked
    // again, as a link may have been added since.
    if (!IsTrustedFile(w, st, stFolder.st_gid)) return Outcome::Refused;
    if (st.st_uid == ::geteuid() && (st.st_mode & 0777) != kFileMode) (void)::fchmod(fd.Get(), kFileMode);

    std::vector<iovec> pieces;
    pieces.reserve(entries.size() + 2);
    std::unique_ptr<FolderLock> lock;
    if (st.st_size == 0) {
        // Only one writer of a new file gives it the header.
        TakeFolderLock(w, folder, &lock);
        if (::fstat(fd.Get(), &st) == 0 && st.st_size == 0) {
            pieces.push_back(iovec{const_cast<char*>(kLogHeader), kLogHeaderSize});
        }
    }
    if (!lead.empty()) pieces.push_back(iovec{const_cast<char*>(lead.data()), lead.size()});
    for (const std::string& entry : entries) {
        if (!entry.empty()) pieces.push_back(iovec{const_cast<char*>(entry.data()), entry.size()});
    }
    const off_t sizeBefore = st.st_size;
    if (!WritePieces(fd.Get(), pieces)) return Outcome::Failed;
    lock.reset();
    if (sizeBefore > static_cast<off_t>(32000000)) {
        // The file took this batch and moves aside. Under the lock, and only while the name
        // is still this file: another process may have moved it already.
        TakeFolderLock(w, folder, &lock);
        struct stat stName {};
        if (StatOf(path, &stName) && stName.st_dev == st.st_dev && stName.st_ino == st.st_ino) {
            // Never replace an older rotated file of the same second; a failed rename is ignored.
            (void)::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, LogRotatedName(folder, now).c_str(), RENAME_NOREPLACE);
        }
        return Outcome::Written;
    }
    KeepFile(w, std::move(fd), path, st);
    return Outcome::Written;
}

void SetRedirected(WriterState& w, const std::string& folder) {
    w.redirectedFolder = folder;
    std::lock_guard lock(w.copyMutex);
    w.redirectedCopy = folder;
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

std::string LogUserFolder() {
    std::string state = XdgStateHome();
    if (state.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return {};
    }
    std::string logs = state + "/ZAQ/Logs";
    if (!EnsureDirectories(logs, kUserFolderMode)) return {};
    struct stat st {};
    if (!StatOf(logs, &st) || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() || (st.st_mode & S_IWOTH) != 0 ||
        ::access(logs.c_str(), W_OK | X_OK) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return {};
    }
    return logs;
}

LogFolderChoice LogFindFolder() {
    LastErrorGuard keep;
    LogFolderChoice choice;
    std::string passedOver;
    choice.folder = SharedFolder(&passedOver);
    if (choice.folder.empty()) choice.folder = LogUserFolder();
    if (!passedOver.empty() && !choice.folder.empty()) {
        choice.note = StrPrintf("[log] %s may be written by every user (an older install): this run logs to %s",
                                passedOver.c_str(), choice.folder.c_str());
    }
    return choice;
}

void LogWriteEntries(const LogTarget& target, const std::vector<std::string>& entries, const LocalTime& now) {
    if (target.folder.empty() || entries.empty()) return;
    WriterState& w = *g_pWriter;
    std::lock_guard lock(w.mutex);
    if (w.redirectedFolder.empty()) {
        const std::string path = ChooseFile(w, target, target.folder, now);
        if (AppendTo(w, target.folder, path, entries, {}, now) != Outcome::Refused) return;
        std::string user = LogUserFolder();
        if (user.empty() || user == target.folder) return;
        SetRedirected(w, user);
        std::string lead;
        if (!w.bToldRedirect) {
            w.bToldRedirect = true;
            lead = LogFormatLine(now, 'W', ERROR_ACCESS_DENIED, __LINE__,
                                 StrPrintf("[log] %s is not a file this run may write: this run logs to %s",
                                           path.c_str(), user.c_str()));
        }
        (void)AppendTo(w, user, ChooseFile(w, target, user, now), entries, lead, now);
        return;
    }
    (void)AppendTo(w, w.redirectedFolder, ChooseFile(w, target, w.redirectedFolder, now), entries, {}, now);
}

void LogBeginFile(const LogTarget& target) {
    WriterState& w = *g_pWriter;
    std::lock_guard lock(w.mutex);
    const std::string& folder = w.redirectedFolder.empty() ? target.folder : w.redirectedFolder;
    w.keptFd.Reset();
    if (!target.fixedName.empty() && !folder.empty()) (void)::unlink((folder + "/" + target.fixedName).c_str());
    if (!w.redirectedFolder.empty() && !target.fixedName.empty() && !target.folder.empty()) {
        // A planted name is removed with the old file; the folder's own file is tried again.
        (void)::unlink((target.folder + "/" + target.fixedName).c_str());
    }
    SetRedirected(w, {});
}

std::string LogRedirectedFolder() {
    WriterState& w = *g_pWriter;
    std::lock_guard lock(w.copyMutex);
    return w.redirectedCopy;
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
    WriterState& w = *g_pWriter;
    std::lock_guard lock(w.mutex);
    w.datedName.clear();
    w.bLockStuck = false;
    w.bToldRedirect = false;
    w.members.clear();
    w.keptFd.Reset();
    SetRedirected(w, {});
}

void LogFileAfterFork() noexcept {
    // The old state is left as it is: a thread the child does not have may hold its lock
    // or be half-way through changing it.
    WriterState* pFresh = new (std::nothrow) WriterState;
    if (pFresh != nullptr) g_pWriter = pFresh;
}
