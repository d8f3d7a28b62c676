#pragma once
// System helpers of the update run: printer queues on a port, the OS version, privileges.
#include <string>
#include <vector>

#include "platform/Types.h"

// The OSVERSIONINFOW layout (276 bytes); GetOsVersion fills dwMajorVersion,
// dwMinorVersion and dwBuildNumber and leaves every other byte zero.
struct OSVERSIONINFOW {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    char16_t szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOW) == 276);

// Whether a CUPS queue prints to the port (see PrinterUriUsesPort for the rule). FALSE
// when there are no queues or no CUPS server answers (logged as a warning). Blocks for
// at most a few seconds when the server hangs.
BOOL IsPrinterOnPort(const char* pszPortName) noexcept;
// The same for several ports with one question to the server: TRUE when a queue uses any.
BOOL IsPrinterOnAnyPort(const std::vector<std::string>& ports) noexcept;

// The running kernel's release: "6.1.0-18-amd64" gives major 6, minor 1, build 0 (the
// third number). TRUE with a zero record when the release cannot be asked for at all.
// A release without "major.minor" logs the error "RegQueryValueEx 1", one without the
// third number the error "RegQueryValueEx 3"; both give FALSE with what was read kept.
BOOL GetOsVersion(OSVERSIONINFOW* pInfo) noexcept;
// The same from a given release text (what GetOsVersion does after uname()).
BOOL ParseOsRelease(const char* pszRelease, OSVERSIONINFOW* pInfo) noexcept;

// Whether the kernel is of that version; dwMinor (DWORD)-1 accepts any minor version.
BOOL IsOsVersion(DWORD dwMajor, DWORD dwMinor) noexcept;
// Always FALSE here: the services only Windows XP needed handling for do not exist.
BOOL IsWindowsXp() noexcept;

// Linux has no process-token privileges to switch: succeeds and changes nothing. The
// service calls themselves report missing rights.
BOOL SetPrivilege(const char* pszPrivilege, BOOL bEnable) noexcept;
