#pragma once
// System paths under the optional KELVO_SYSROOT prefix, the user's folders, directories.
#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/Types.h"

// An absolute system path ("/var/log", "/dev/ttyS0", "/sys/class/...") under the prefix
// named by KELVO_SYSROOT, unchanged when it is unset or empty. Tests use it to supply a
// fake /sys, /dev, /etc, /run and /var tree.
std::string SysPath(std::string_view absolutePath);

// $HOME, else the password database; empty when neither is known.
std::string HomeDir();
// $XDG_CONFIG_HOME or ~/.config, $XDG_STATE_HOME or ~/.local/state (absolute values only).
std::string XdgConfigHome();
std::string XdgStateHome();

// The working folder as an absolute path, "." when it cannot be told.
std::string CurrentFolderPath();

bool IsDirectory(const std::string& path) noexcept;
// Creates one directory with mode (exact, umask notwithstanding) when it is missing.
// TRUE when path is a directory afterwards; FALSE with the last error otherwise.
BOOL EnsureDirectory(const std::string& path, mode_t mode) noexcept;
// Creates path and its missing parents (each with mode).
BOOL EnsureDirectories(const std::string& path, mode_t mode) noexcept;
