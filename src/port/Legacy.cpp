#include "port/Legacy.h"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/Globals.h"
#include "port/PortLog.h"

namespace {

constexpr DWORD READ_INTERVAL_TIMEOUT = 10;
constexpr DWORD READ_TOTAL_TIMEOUT = 30;
constexpr DWORD WRITE_TOTAL_TIMEOUT_CAP = 0xFFFFFF9B;

bool IsPlainNodeName(const char* pszName) noexcept {
    if (pszName == nullptr || pszName[0] == '\0') return false;
    if (std::strcmp(pszName, ".") == 0 || std::strcmp(pszName, "..") == 0) return false;
    return std::strchr(pszName, '/') == nullptr;
}

// The total time of one read; INFINITE when the timing sets none.
DWORD TotalReadTime(const COMMTIMEOUTS& t, DWORD cbBuffer) noexcept {
    const ULONGLONG total = static_cast<ULONGLONG>(t.ReadTotalTimeoutMultiplier) * cbBuffer + t.ReadTotalTimeoutConstant;
    if (total == 0) return t.ReadIntervalTimeout == INFINITE ? 0 : INFINITE;
    return total >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(total);
}

DWORD Smaller(DWORD a, DWORD b) noexcept { return a < b ? a : b; }

}  // namespace

CLegacy::~CLegacy() { DeleteDeviceName(); }

BOOL CLegacy::MakeDeviceName(const char* pszName) noexcept {
    if (!pszDevicePath.empty()) return TRUE;
    if (!IsPlainNodeName(pszName)) {
        SetLastError(ERROR_INVALID_NAME);
        PORT_LOG(LOG_ERROR, "[srv_lgcy] Make new device name. [%s]", pszName != nullptr ? pszName : "");
        return FALSE;
    }
    bTempDosName = FALSE;
    char szPath[LEGACY_MAX_NAME];
    const char* parts[] = {"/dev/", pszName, nullptr};
    if (JoinStrings(szPath, sizeof szPath, parts) != ERROR_SUCCESS) {
        PORT_LOG(LOG_ERROR, "[srv_lgcy] Make new device name. [%s]", pszName);
        return FALSE;
    }
    try {
        pszDevicePath = SysPath(szPath);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        PORT_LOG(LOG_ERROR, "[srv_lgcy] Unable to find device name 5. [name:%s]", pszName);
        return FALSE;
    }
    return TRUE;
}

void CLegacy::DeleteDeviceName() noexcept {
    if (pszDevicePath.empty()) return;
    bTempDosName = FALSE;
    pszDevicePath.clear();
}

BOOL CLegacy::SetComTimeouts(int hFile, DWORD dwWriteTotalTimeoutConstant) noexcept {
    const DWORD dwWrite = Smaller(dwWriteTotalTimeoutConstant, WRITE_TOTAL_TIMEOUT_CAP);
    termios tio{};
    if (::tcgetattr(hFile, &tio) != 0) {
        SetLastErrorFromErrno(errno);
        PORT_LOG(LOG_ERROR, "[srv_lgcy] Set com timeouts. [h;%#08x] [time:%d]", static_cast<unsigned>(hFile),
                 static_cast<int>(dwWriteTotalTimeoutConstant));
        return FALSE;
    }
    m_timeouts = COMMTIMEOUTS{READ_INTERVAL_TIMEOUT, 0, READ_TOTAL_TIMEOUT, 0, dwWrite};
    return TRUE;
}

BOOL CLegacy::ReadComData(int hFile, BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead,
                          std::span<const WaitItem> wake) noexcept {
    return ReadWithComTimeouts(hFile, m_timeouts, pBuffer, cbBuffer, pcbRead, wake);
}

namespace {

// Reads what is there now. 1: bytes came, 0: nothing yet, -1: failure (last error set).
int ReadAvailable(int hFile, BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead) noexcept {
    const ssize_t n = ::read(hFile, pBuffer + *pcbRead, cbBuffer - *pcbRead);
    if (n > 0) {
        *pcbRead += static_cast<DWORD>(n);
        return 1;
    }
    if (n == 0) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return -1;
    }
    if (errno == EAGAIN || errno == EINTR) return 0;
    SetLastErrorFromErrno(errno);
    return -1;
}

}  // namespace

BOOL ReadWithComTimeouts(int hFile, const COMMTIMEOUTS& timeouts, BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead,
                         std::span<const WaitItem> wake) noexcept {
    *pcbRead = 0;
    std::vector<WaitItem> items;
    try {
        items.assign(wake.begin(), wake.end());
        items.push_back(WaitItem::ForFd(hFile, POLLIN));
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    const DWORD dwFdIndex = static_cast<DWORD>(items.size() - 1);
    const bool bInterval = timeouts.ReadIntervalTimeout != 0 && timeouts.ReadIntervalTimeout != INFINITE;
    const Deadline total(TotalReadTime(timeouts, cbBuffer));
    Deadline interval(INFINITE);
    while (*pcbRead < cbBuffer) {
        const DWORD dwWait = Smaller(total.Remaining(), interval.Remaining());
        const DWORD dwFired = WaitForAny(items, dwWait);
        if (dwFired == WAIT_TIMEOUT) break;
        if (dwFired == WAIT_FAILED) return FALSE;
        if (dwFired != WAIT_OBJECT_0 + dwFdIndex) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return FALSE;
        }
        const int rc = ReadAvailable(hFile, pBuffer, cbBuffer, pcbRead);
        if (rc < 0) return FALSE;
        if (rc > 0 && bInterval) interval = Deadline(timeouts.ReadIntervalTimeout);
        if (total.Expired() || interval.Expired()) break;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}
