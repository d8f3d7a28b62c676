#pragma once
// One running instance per user: an exclusive lock on a file named after the instance
// name, in $XDG_RUNTIME_DIR when the session has one, else in the settings folder. The
// kernel drops the lock when the holder dies, so a crash never blocks the next start.
#include <string>

#include "platform/Types.h"
#include "platform/UniqueFd.h"

inline constexpr const char* INSTANCE_NAME = "____ZAQ_FW_UPDATE____";

std::string InstanceLockPath();

class CInstanceLock {
public:
    // TRUE when this process now holds the lock. FALSE with ERROR_ALREADY_EXISTS when
    // another process holds it, or with the error that kept the lock from being made.
    BOOL Acquire(const std::string& path) noexcept;
    void Release() noexcept { m_fd.Reset(); }
    bool Held() const noexcept { return m_fd.Valid(); }

private:
    UniqueFd m_fd;
};
