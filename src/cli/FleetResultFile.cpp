#include "cli/FleetResultFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/UniqueFd.h"

namespace {

constexpr const char* kFileName = "last-fleet.json";

// The folder, opened without following a link, and only when it is this user's alone.
UniqueFd OpenOwnFolder(const std::string& folder, std::string* pError) {
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    if (!dir || ::fstat(dir.Get(), &st) != 0) {
        *pError = "cannot open " + folder + ": " + std::strerror(errno);
        return UniqueFd();
    }
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        *pError = folder + " is not a folder of this user's that only it may write; not used";
        return UniqueFd();
    }
    return dir;
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t nDone = 0;
    while (nDone < text.size()) {
        ssize_t n = ::write(fd, text.data() + nDone, text.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        nDone += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string FleetStateFolder(std::string* pError) {
    const std::string base = XdgStateHome();
    if (base.empty()) {
        *pError = "no home folder and no XDG_STATE_HOME";
        return {};
    }
    const std::string folder = base + "/kelvo";
    if (!EnsureDirectories(folder, 0700)) {
        *pError = "cannot make " + folder + ": " + std::strerror(errno);
        return {};
    }
    return OpenOwnFolder(folder, pError) ? folder : std::string();
}

bool SaveLastFleetResult(const std::string& json, std::string* pPath, std::string* pError) {
    const std::string folder = FleetStateFolder(pError);
    if (folder.empty()) return false;
    UniqueFd dir = OpenOwnFolder(folder, pError);
    if (!dir) return false;
    const std::string temp = StrPrintf(".%s.%d", kFileName, static_cast<int>(::getpid()));
    ::unlinkat(dir.Get(), temp.c_str(), 0);  // left by a run of this pid that was killed
    UniqueFd file(::openat(dir.Get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    bool bOk = file && WriteAll(file.Get(), json + "\n") && ::fsync(file.Get()) == 0;
    int err = errno;
    file.Reset();
    if (bOk && ::renameat(dir.Get(), temp.c_str(), dir.Get(), kFileName) == 0) {
        *pPath = folder + "/" + kFileName;
        return true;
    }
    if (bOk) err = errno;
    ::unlinkat(dir.Get(), temp.c_str(), 0);
    *pError = "cannot write " + folder + "/" + kFileName + ": " + std::strerror(err);
    return false;
}

std::string LastFleetResultPath(std::string* pError) {
    const std::string folder = FleetStateFolder(pError);
    if (folder.empty()) return {};
    UniqueFd dir = OpenOwnFolder(folder, pError);
    struct stat st {};
    if (!dir) return {};
    if (::fstatat(dir.Get(), kFileName, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
        *pError = "no earlier fleet result in " + folder + " (each run of several printers keeps its result there as " +
                  kFileName + "); name a --json result file";
        return {};
    }
    return folder + "/" + kFileName;
}
