#include "engine/SingleInstance.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <cstdlib>

#include "engine/Settings.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/WinError.h"

std::string InstanceLockPath() {
    const char* pszRuntime = std::getenv("XDG_RUNTIME_DIR");
    std::string folder = (pszRuntime != nullptr && pszRuntime[0] == '/') ? std::string(pszRuntime)
                                                                          : XdgConfigHome() + "/" + SETTINGS_ROOT;
    return folder + "/" + INSTANCE_NAME + ".lock";
}

BOOL CInstanceLock::Acquire(const std::string& path) noexcept {
    m_fd.Reset();
    std::size_t nSlash = path.find_last_of('/');
    if (nSlash != std::string::npos && nSlash > 0 && !EnsureDirectories(path.substr(0, nSlash), 0700)) return FALSE;
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600));
    if (!fd) return SetLastErrorFromErrno(errno);
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
