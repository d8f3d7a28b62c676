#include "engine/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "engine/Settings.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/PlainFile.h"
#include "platform/WinError.h"

namespace {

constexpr int kOpenFlags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
constexpr mode_t kLockMode = 0644;

// Opens the lock file, making it when it is missing. An existing file is opened without
// O_CREAT: in a shared sticky folder the kernel refuses O_CREAT on another user's file
// (fs.protected_regular), even to root. O_NONBLOCK keeps a FIFO put there from blocking.
UniqueFd OpenLockFile(const std::string& path) {
    for (int nTry = 0; nTry < 3; ++nTry) {
        UniqueFd fd(::open(path.c_str(), kOpenFlags));
        if (fd || errno != ENOENT) return fd;
        fd = UniqueFd(::open(path.c_str(), kOpenFlags | O_CREAT | O_EXCL, kLockMode));
        if (fd) {
            // Others must be able to open it whatever this process's umask is.
            ::fchmod(fd.Get(), kLockMode);
            return fd;
        }
        if (errno != EEXIST) return fd;
        // Made by another start in the meantime: open that one.
    }
    errno = EEXIST;
    return UniqueFd();
}

// What a run may lock: a regular file with one name; as root only root's own, since a
// user could remove their file while root holds its lock, and the next updater would lock
// a new one beside it.
bool IsUsableLock(const struct stat& st) noexcept {
    return S_ISREG(st.st_mode) && st.st_nlink == 1 && (::geteuid() != 0 || st.st_uid == 0);
}

// Whether a running program holds a lock on what fd opened.
bool HeldByAnother(int fd) noexcept {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) return errno == EWOULDBLOCK;
    }
    ::flock(fd, LOCK_UN);
    return false;
}

std::string OwnerName(uid_t uid) noexcept {
    try {
        return UserName(uid);
    } catch (...) {
        return {};
    }
}

const char* ObjectWord(const struct stat& st) noexcept {
    if (S_ISLNK(st.st_mode)) return "symbolic link";
    if (S_ISFIFO(st.st_mode)) return "FIFO";
    if (S_ISDIR(st.st_mode)) return "folder";
    if (S_ISREG(st.st_mode)) return st.st_nlink != 1 ? "file with other names" : "file";
    return "special file";
}

// Root removes what another user put at the lock's name (a folder is moved aside, since
// it may not be empty), so that nothing planted there can hold root's updates back.
// Only while the name still leads to what was looked at.
bool SetAside(const std::string& path, const struct stat& seen) noexcept {
    struct stat now {};
    if (::lstat(path.c_str(), &now) != 0 || now.st_dev != seen.st_dev || now.st_ino != seen.st_ino) return false;
    try {
        LogMessage(LOG_WARNING, 'W', __LINE__, 0, "Lock name taken by a %s of user %s: set aside [%s]",
                   ObjectWord(now), UserName(now.st_uid).c_str(), path.c_str());
        if (!S_ISDIR(now.st_mode)) return ::unlink(path.c_str()) == 0;
        // A folder replaces an empty folder of a name nobody else can have made.
        std::string aside = path + ".aside-XXXXXX";
        return ::mkdtemp(aside.data()) != nullptr && ::rename(path.c_str(), aside.c_str()) == 0;
    } catch (...) {
        return false;
    }
}

}  // namespace

std::string InstanceLockPath() {
    const char* pszRuntime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder = (pszRuntime != nullptr && pszRuntime[0] == '/') ? std::string(pszRuntime)
                                                                          : XdgConfigHome() + "/" + SETTINGS_ROOT;
    return folder + "/" + INSTANCE_NAME + ".lock";
}

std::string MachineLockPath() { return SysPath("/run/lock/") + INSTANCE_NAME + ".lock"; }

BOOL CInstanceLock::Acquire(const std::string& path, bool bMakeFolder) noexcept {
    m_fd.Reset();
    std::size_t nSlash = path.find_last_of('/');
    if (nSlash != std::string::npos && nSlash > 0) {
        const std::string folder = path.substr(0, nSlash);
        if (bMakeFolder) {
            if (!EnsureDirectories(folder, 0700)) return FALSE;
        } else if (!IsDirectory(folder)) {
            SetLastError(ERROR_PATH_NOT_FOUND);
            return FALSE;
        }
    }
    m_strForeignOwner.clear();
    const bool bRoot = ::geteuid() == 0;
    for (int nTry = 0; nTry < 3; ++nTry) {
        UniqueFd fd = OpenLockFile(path);
        struct stat st {};
        if (!fd && errno == ELOOP && bRoot && ::lstat(path.c_str(), &st) == 0 && SetAside(path, st)) continue;
        if (!fd) return SetLastErrorFromErrno(errno);
        if (::fstat(fd.Get(), &st) != 0) return SetLastErrorFromErrno(errno);
        if (!IsUsableLock(st)) {
            if (st.st_uid != ::geteuid()) m_strForeignOwner = OwnerName(st.st_uid);
            // A program that holds it really runs: that is another update, whatever the file.
            if (HeldByAnother(fd.Get())) {
                SetLastError(ERROR_ALREADY_EXISTS);
                return FALSE;
            }
            if (bRoot && SetAside(path, st)) continue;
            // Another name for some other file (a hard link put in a shared folder) is no lock.
            SetLastError(ERROR_BAD_FILE_TYPE);
            return FALSE;
        }
        while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno == EINTR) continue;
            if (errno == EWOULDBLOCK) {
                if (st.st_uid != ::geteuid()) m_strForeignOwner = OwnerName(st.st_uid);
                SetLastError(ERROR_ALREADY_EXISTS);
                return FALSE;
            }
            return SetLastErrorFromErrno(errno);
        }
        m_fd = std::move(fd);
        return TRUE;
    }
    // Something keeps putting objects at the name faster than root removes them.
    SetLastError(ERROR_BAD_FILE_TYPE);
    return FALSE;
}
