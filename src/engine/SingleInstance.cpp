#include "engine/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

#include "engine/Settings.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
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
    UniqueFd fd = OpenLockFile(path);
    if (!fd) return SetLastErrorFromErrno(errno);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) return SetLastErrorFromErrno(errno);
    // Another name for some other file (a hard link put in a shared folder) is no lock.
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
        SetLastError(ERROR_BAD_FILE_TYPE);
        return FALSE;
    }
    while (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        return SetLastErrorFromErrno(errno);
    }
    m_fd = std::move(fd);
    return TRUE;
}
