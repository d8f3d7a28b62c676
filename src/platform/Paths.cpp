#include "platform/Paths.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/LastError.h"
#include "platform/WinError.h"

std::string SysPath(std::string_view absolutePath) {
    const char* root = std::getenv("KELVO_SYSROOT");
    std::string path = (root != nullptr) ? root : "";
    while (!path.empty() && path.back() == '/') path.pop_back();
    path += absolutePath;
    return path;
}

std::string HomeDir() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return home;
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<std::size_t>(size) : 16384u);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwuid_r(getuid(), &pw, buf.data(), buf.size(), &result) == 0 && result != nullptr && result->pw_dir != nullptr) {
        return result->pw_dir;
    }
    return {};
}

namespace {

std::string XdgDir(const char* var, const char* fallbackUnderHome) {
    const char* value = std::getenv(var);
    if (value != nullptr && value[0] == '/') return value;
    std::string home = HomeDir();
    return home.empty() ? std::string() : home + fallbackUnderHome;
}

}  // namespace

std::string XdgConfigHome() { return XdgDir("XDG_CONFIG_HOME", "/.config"); }
std::string XdgStateHome() { return XdgDir("XDG_STATE_HOME", "/.local/state"); }

bool IsDirectory(const std::string& path) noexcept {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

BOOL EnsureDirectory(const std::string& path, mode_t mode) noexcept {
    if (::mkdir(path.c_str(), mode) == 0) {
        // mkdir honours the umask; the caller asked for this exact mode.
        if (::chmod(path.c_str(), mode) != 0) return SetLastErrorFromErrno(errno);
        return TRUE;
    }
    int err = errno;
    if (err == EEXIST && IsDirectory(path)) return TRUE;
    if (err == EEXIST) err = ENOTDIR;
    return SetLastErrorFromErrno(err);
}

std::string CurrentFolderPath() {
    std::string folder = ".";
    if (char* psz = ::getcwd(nullptr, 0)) {
        folder = psz;
        std::free(psz);
    }
    return folder;
}

BOOL EnsureDirectories(const std::string& path, mode_t mode) noexcept {
    if (path.empty()) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (IsDirectory(path)) return TRUE;
    std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
        if (!EnsureDirectories(path.substr(0, slash), mode)) return FALSE;
    }
    return EnsureDirectory(path, mode);
}
