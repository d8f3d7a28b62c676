#pragma once
// One running updater: an exclusive lock on a file named after the instance name. Each
// user has one in $XDG_RUNTIME_DIR (else in the settings folder), through which a second
// start of the same user finds the first; the machine has one in the shared lock folder
// /run/lock, which every updater takes whoever runs it (a user, or root for a desktop
// user), so that two updaters never work on printers at once. The kernel drops a lock
// when its holder dies, so a crash never blocks the next start.
#include <string>

#include "platform/Types.h"
#include "platform/UniqueFd.h"

inline constexpr const char* INSTANCE_NAME = "____ZAQ_FW_UPDATE____";

std::string InstanceLockPath();
// Under KELVO_SYSROOT.
std::string MachineLockPath();

class CInstanceLock {
public:
    // TRUE when this process now holds the lock. FALSE with ERROR_ALREADY_EXISTS when
    // another process holds it, ERROR_PATH_NOT_FOUND when the folder is missing and
    // bMakeFolder is false, ERROR_BAD_FILE_TYPE when the path is not a plain file (a
    // directory, a FIFO, a file with other names), or with the error that kept the file
    // from being opened (ERROR_ACCESS_DENIED for another user's file that this user may
    // not read, or for a symbolic link). The file is made readable by everyone, and is
    // only ever read: any user can take a lock that another made. As root, whatever is at
    // the name and is no lock of root's (a link, a FIFO, a folder, another user's file, a
    // file with a second name) is set aside and replaced unless a running program holds
    // it; so another user can hold root's updates back only while a program of theirs
    // runs. Never blocks.
    BOOL Acquire(const std::string& path, bool bMakeFolder = true) noexcept;
    void Release() noexcept { m_fd.Reset(); }
    bool Held() const noexcept { return m_fd.Valid(); }
    // After a failed Acquire: the user whose object was at the name when it is not this
    // user's, else empty.
    const std::string& ForeignOwner() const noexcept { return m_strForeignOwner; }

private:
    UniqueFd m_fd;
    std::string m_strForeignOwner;
};
