#include "system/System.h"

#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/WinError.h"
#include "system/Printers.h"

namespace {

constexpr DWORD kCupsQueryTimeout = 5000;

}  // namespace

BOOL IsPrinterOnPort(const char* pszPortName) noexcept {
    if (pszPortName == nullptr || *pszPortName == '\0') return FALSE;
    try {
        return IsPrinterOnAnyPort({pszPortName});
    } catch (...) {
        return FALSE;
    }
}

BOOL IsPrinterOnAnyPort(const std::vector<std::string>& ports) noexcept {
    std::vector<std::string> uris;
    if (!EnumPrinterDeviceUris(&uris, kCupsQueryTimeout)) {
        LogMessage(LOG_WARNING, 'W', __LINE__, GetLastError(), "[comm] IsPrinterOnPort CUPS [%s]",
                   CupsServerName().c_str());
        return FALSE;
    }
    for (const std::string& uri : uris) {
        for (const std::string& port : ports) {
            if (!port.empty() && PrinterUriUsesPort(uri, port)) return TRUE;
        }
    }
    return FALSE;
}

BOOL ParseOsRelease(const char* pszRelease, OSVERSIONINFOW* pInfo) noexcept {
    std::memset(pInfo, 0, sizeof(*pInfo));
    unsigned major = 0, minor = 0, build = 0;
    int n = std::sscanf(pszRelease, "%u.%u.%u", &major, &minor, &build);
    if (n < 2) {
        LogMessage(LOG_ERROR, 'E', __LINE__, ERROR_INVALID_DATA, "RegQueryValueEx 1");
        return FALSE;
    }
    pInfo->dwMajorVersion = major;
    pInfo->dwMinorVersion = minor;
    if (n < 3) {
        LogMessage(LOG_ERROR, 'E', __LINE__, ERROR_INVALID_DATA, "RegQueryValueEx 3");
        return FALSE;
    }
    pInfo->dwBuildNumber = build;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL GetOsVersion(OSVERSIONINFOW* pInfo) noexcept {
    std::memset(pInfo, 0, sizeof(*pInfo));
    utsname uts{};
    if (uname(&uts) != 0) return TRUE;
    return ParseOsRelease(uts.release, pInfo);
}

BOOL IsOsVersion(DWORD dwMajor, DWORD dwMinor) noexcept {
    OSVERSIONINFOW info;
    GetOsVersion(&info);
    if (info.dwMajorVersion != dwMajor) return FALSE;
    if (dwMinor == static_cast<DWORD>(-1)) return TRUE;
    return info.dwMinorVersion == dwMinor ? TRUE : FALSE;
}

BOOL IsWindowsXp() noexcept {
    return FALSE;
}

BOOL SetPrivilege(const char* /*pszPrivilege*/, BOOL /*bEnable*/) noexcept {
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
