#include "platform/PlainFile.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Paths.h"

namespace {

// A uid from the environment that sudo or pkexec set; -1 when absent or not a number.
long long UidFromEnvironment(const char* pszName) {
    const char* psz = std::getenv(pszName);
    if (psz == nullptr || *psz == '\0') return -1;
    long long nValue = -1;
    auto [pEnd, ec] = std::from_chars(psz, psz + std::strlen(psz), nValue);
    return (ec == std::errc() && *pEnd == '\0' && nValue >= 0) ? nValue : -1;
}

const char* FileTypeWord(mode_t mode) {
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISDIR(mode)) return "a folder";
    return "not a plain file";
}

}  // namespace

bool IsTrustedOwner(uid_t uid) noexcept {
    if (uid == 0 || uid == ::geteuid()) return true;
    for (const char* pszName : {"SUDO_UID", "PKEXEC_UID"}) {
        if (UidFromEnvironment(pszName) == static_cast<long long>(uid)) return true;
    }
    return false;
}

std::string UserName(uid_t uid) {
    std::vector<char> buffer(4096);
    passwd entry{};
    passwd* pFound = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &pFound) == 0 && pFound != nullptr)
        return pFound->pw_name;
    return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    std::vector<char> buffer(4096);
    group entry{};
    group* pFound = nullptr;
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &pFound) == 0 && pFound != nullptr)
        return pFound->gr_name;
    return std::to_string(gid);
}

std::string RootDistrust(const struct stat& info) {
    if (::geteuid() != 0) return {};
    if (!IsTrustedOwner(info.st_uid)) return "belongs to user " + UserName(info.st_uid);
    // A link's own mode says nothing; the link itself is refused where it is opened.
    if (S_ISLNK(info.st_mode)) return {};
    if ((info.st_mode & S_IWOTH) != 0) return "may be written by every user";
    // Root's own group is root's; any other group's members are other users.
    if ((info.st_mode & S_IWGRP) != 0 && info.st_gid != 0) return "may be written by group " + GroupName(info.st_gid);
    return {};
}

PlainFile OpenPlainFile(const char* pszPath) {
    PlainFile file;
    UniqueFd fd(::open(pszPath, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        file.nErrno = errno;
        if (file.nErrno == ELOOP) file.strWhyNot = "is a symbolic link, not a plain file";
        return file;
    }
    if (::fstat(fd.Get(), &file.info) != 0) {
        file.nErrno = errno;
        return file;
    }
    if (S_ISDIR(file.info.st_mode)) {
        file.nErrno = EISDIR;
        return file;
    }
    if (!S_ISREG(file.info.st_mode)) {
        file.nErrno = EACCES;
        file.strWhyNot = std::string("is ") + FileTypeWord(file.info.st_mode) + ", not a plain file";
        return file;
    }
    if (std::string why = RootDistrust(file.info); !why.empty()) {
        file.nErrno = EACCES;
        file.strWhyNot = why;
        file.bDistrusted = true;
        return file;
    }
    // A read that would wait (a file on a slow mount) waits; only the open must not.
    int nFlags = ::fcntl(fd.Get(), F_GETFL);
    if (nFlags >= 0) ::fcntl(fd.Get(), F_SETFL, nFlags & ~O_NONBLOCK);
    file.fd = std::move(fd);
    return file;
}

std::string CurrentFolderDistrust() {
    struct stat info {};
    if (::stat(".", &info) != 0) return {};
    return RootDistrust(info);
}

std::string RefusalSentence(const std::string& name, const PlainFile& file) {
    const std::string folder = CurrentFolderPath();
    const std::string what = name + " in " + folder;
    if (file.bDistrusted) return DistrustSentence(what, file.strWhyNot, folder);
    return what + " " + file.strWhyNot + ": put the file itself in the update folder";
}

int ReadBounded(int fd, std::size_t cbMax, std::string* pText) {
    pText->clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return 0;
        if (pText->size() + static_cast<std::size_t>(n) > cbMax) return EFBIG;
        pText->append(buffer, static_cast<std::size_t>(n));
    }
}

std::string DistrustSentence(const std::string& what, const std::string& why, const std::string& folder) {
    return what + " " + why + ": run as root, Kelvo reads update files only from a folder that root or you own "
           "and nobody else may write. Copy the folder to one of yours (cp -r " + folder +
           " ~/kelvo-update) and run the update there.";
}
