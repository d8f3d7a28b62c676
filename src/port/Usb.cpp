#include "port/Usb.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/Globals.h"
#include "port/PortLog.h"
#include "port/UsbLp.h"

namespace {

// The request kinds of the log lines: one descriptor serves all three.
constexpr int TYPE_WRITE = 0;
constexpr int TYPE_READ = 1;
constexpr int TYPE_CONTROL = 2;
constexpr DWORD kSendPollMs = 100;
// usblp cancels a transfer still under way when the last descriptor closes: a close waits
// this long for it to end.
constexpr DWORD kCloseDrainMs = 1000;

bool Exists(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

struct CUsb::ResetCall {
    UniqueFd fd;
    std::atomic<int> err{0};
    Event done{true, false};
};

std::unique_ptr<CCommon> MakeUsbPort(const char* pszName) { return std::make_unique<CUsb>(pszName); }

CUsb::CUsb(const char* pszName) {
    if (pszName != nullptr && pszName[0] != '\0') pszPortName = pszName;
    m_bNameValid = UsbLpOfPortName(pszPortName, &m_nLp);
    if (!pszPortName.empty() && hEvtTerm.Valid() && hEvtCancel.Valid()) {
        bSuccessInit = TRUE;
        PORT_LOG(LOG_INFO, "[%s] CUsb success.", PortName());
    } else {
        SetLastError(ERROR_OUTOFMEMORY);
        PORT_LOG(LOG_ERROR, "[%s] CUsb failed", PortName());
    }
}

CUsb::~CUsb() {
    IoCancelRequest();
    Term();
    // A reset that a cancel left in the kernel ends within usblp's bound; past ours it is
    // left to end alone (it owns its descriptor and nothing of the port).
    if (m_resetThread.WaitForEnd(kResetWaitMs) != WAIT_OBJECT_0) m_resetThread.Abandon();
    bSuccessInit = FALSE;
    PORT_LOG(LOG_INFO, "[%s] ~CUsb", PortName());
}

BOOL CUsb::Init() {
    if (bSuccessInit) return TRUE;
    SetLastError(ERROR_OUTOFMEMORY);
    PORT_LOG(LOG_ERROR, "[%s] Init()", PortName());
    return FALSE;
}

void CUsb::Term() { CloseDevice(); }

// ---- Finding and opening the device ----

BOOL CUsb::GetUsbDevicePath() {
    bool bFound = false;
    {
        std::lock_guard lock(csDev);
        pszDevicePath.clear();
        if (m_bNameValid && Exists(UsbClassPath(m_nLp))) {
            std::string node = UsbNodePath(m_nLp);
            if (Exists(node)) {
                PORT_LOG(LOG_DEBUG, "[%s] GetUsbDevicePath is detected.", PortName());
                pszDevicePath = std::move(node);
                bFound = true;
            }
        }
        // The node left: whatever the descriptor still points at is no longer the printer.
        if (!bFound && hDev) {
            PORT_LOG(LOG_DEBUG, "[%s] Close CloseHandle [byType:%d]", PortName(), TYPE_WRITE);
            hDev.Reset();
        }
    }
    if (bFound) {
        if (HasStatus(PM_STATUS_OFFLINE)) {
            ClearStatusBits(PM_STATUS_OFFLINE);
            PORT_LOG(LOG_INFO, "[%s] [ONLINE]", PortName());
        }
        return TRUE;
    }
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    if (!HasStatus(PM_STATUS_OFFLINE)) {
        SetStatusBits(PM_STATUS_OFFLINE);
        PORT_LOG(LOG_WARNING, "[%s] [OFFLINE]", PortName());
    }
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
}

BOOL CUsb::IsConnect() { return GetUsbDevicePath(); }

BOOL CUsb::Open() {
    if (!HasStatus(PM_STATUS_OFFLINE | PM_STATUS_CLOSED)) return TRUE;
    if (!IsConnect()) return FALSE;
    ClearStatusBits(PM_STATUS_CLOSED);
    return TRUE;
}

void CUsb::Close(BOOL /*bFlag*/) { SetStatusBits(PM_STATUS_CLOSED); }

BOOL CUsb::OpenDevice(bool bReopen) {
    if (HasStatus(PM_STATUS_OFFLINE) && !IsConnect()) return FALSE;
    if (OpenOnSameEnumeration()) return TRUE;
    const UsbIdentity now = ReadUsbLpIdentity(m_nLp);
    UniqueFd stale;  // closed after the lock is left
    std::lock_guard lock(csDev);
    if (hDev) {
        // Gone from sysfs: the request fails on the descriptor and says so.
        if (!m_idOpen.Known() || !now.Known() || m_idOpen.SameEnumeration(now)) return TRUE;
        PORT_LOG(LOG_INFO, "[%s] Close CloseHandle [byType:%d]", PortName(), TYPE_WRITE);
        stale = std::move(hDev);
    }
    if (!bReopen || pszDevicePath.empty()) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    int fd = ::open(pszDevicePath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
        hDev.Reset(fd);
        m_idOpen = now;
        m_bReadsRefused = false;
        return TRUE;
    }
    const int err = errno;
    // Another program holding the node, or missing rights to it, say so; anything else
    // is a printer that is not there.
    DWORD dwError = ERROR_DEVICE_NOT_CONNECTED;
    if (err == EBUSY) dwError = ERROR_BUSY;
    if (err == EACCES || err == EPERM) dwError = ERROR_ACCESS_DENIED;
    SetLastError(dwError);
    if (!HasStatus(PM_STATUS_OFFLINE)) {
        PORT_LOG(LOG_ERROR, "[%s] Open CreateFile [byType:%d]", PortName(), TYPE_WRITE);
        SetStatusBits(PM_STATUS_OFFLINE);
    }
    SetLastError(dwError);
    return FALSE;
}

bool CUsb::OpenOnSameEnumeration() {
    UsbIdentity id;
    {
        std::lock_guard lock(csDev);
        if (!hDev) return false;
        id = m_idOpen;
    }
    if (!id.StillEnumerated()) return false;
    std::lock_guard lock(csDev);
    return hDev.Valid();
}

UniqueFd CUsb::DupDevice(bool bReopen) {
    if (!OpenDevice(bReopen)) return UniqueFd();
    std::lock_guard lock(csDev);
    if (!hDev) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return UniqueFd();
    }
    UniqueFd fd(::fcntl(hDev.Get(), F_DUPFD_CLOEXEC, 0));
    if (!fd) SetLastErrorFromErrno(errno);
    return fd;
}

void CUsb::CloseDevice() {
    UniqueFd fd;
    {
        std::lock_guard lock(csDev);
        if (!hDev) return;
        fd = std::move(hDev);
    }
    // The last transfer ends before the close that would cancel it (bounded; a cancel
    // does not wait). The lock is not held meanwhile.
    WaitTransferEnded(fd.Get(), kCloseDrainMs);
    PORT_LOG(LOG_DEBUG, "[%s] Close CloseHandle [byType:%d]", PortName(), TYPE_WRITE);
    fd.Reset();
}

bool CUsb::Gone(int err) const {
    return UsbErrnoMeansGone(err) || !Exists(UsbClassPath(m_nLp));
}

BOOL CUsb::WaitTransferEnded(int fd, DWORD dwTimeout) {
    const Deadline deadline(dwTimeout);
    for (;;) {
        std::array items{TermItem(), CancelItem(), WaitItem::ForFd(fd, POLLOUT)};
        short revents = 0;
        const DWORD dwWait = WaitForAny(items, std::min(deadline.Remaining(), kSendPollMs), &revents);
        if (dwWait == WAIT_OBJECT_0 + 2 && (revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) return TRUE;
        if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_OBJECT_0 + 1 || IsSendAborted()) {
            SetLastError(ERROR_CANCELLED);
            return FALSE;
        }
        if (dwWait != WAIT_TIMEOUT) {
            SetLastError(Gone(EIO) ? ERROR_DEVICE_NOT_CONNECTED : ERROR_REQUEST_ABORTED);
            return FALSE;
        }
        if (deadline.Expired()) {
            SetLastError(ERROR_TIMEOUT);
            return FALSE;
        }
    }
}

void CUsb::FailIo(int err, int nType) {
    if (Gone(err)) {
        SetLastErrorFromErrno(err);
        PORT_LOG(LOG_WARNING, "[%s] SyncIoCtrl GetOverlappedResult() [code:%d/type:%d]", PortName(), err, nType);
        CloseDevice();
        IsConnect();
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return;
    }
    SetLastErrorFromErrno(err);
    PORT_LOG(LOG_ERROR, "[%s] SyncIoCtrl GetOverlappedResult() [code:%d/type:%d]", PortName(), err, nType);
    SetLastError(ERROR_REQUEST_ABORTED);
}

// ---- Requests ----

BOOL CUsb::SyncWrite(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout, UniqueFd* pKeep) {
    *pcbWritten = 0;
    const Deadline deadline(dwTimeout);
    UniqueFd fd = WaitResetEnded(dwTimeout) ? DupDevice() : UniqueFd();
    if (!fd) {
        LastErrorGuard keep;
        Close(FALSE);
        return FALSE;
    }
    PORT_LOG(LOG_DEBUG, "[%s] SyncIoCtrl WriteFile(). (%d/%d byte)", PortName(), 0, static_cast<int>(cbBuffer));
    DWORD cbDone = 0;
    BOOL bResult = TRUE;
    DWORD dwError = ERROR_SUCCESS;
    while (cbDone < cbBuffer) {
        const ssize_t n = ::write(fd.Get(), pBuffer + cbDone, cbBuffer - cbDone);
        if (n > 0) {
            cbDone += static_cast<DWORD>(n);
            continue;
        }
        const int err = n < 0 ? errno : EAGAIN;
        if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
            FailIo(err, TYPE_WRITE);
            dwError = GetLastError();
            bResult = FALSE;
            break;
        }
        std::array items{TermItem(), CancelItem(), WaitItem::ForFd(fd.Get(), POLLOUT)};
        const DWORD dwWait = WaitForAny(items, deadline.Remaining());
        if (dwWait == WAIT_OBJECT_0 + 2) continue;
        if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_OBJECT_0 + 1) {
            SetLastError(ERROR_CANCELLED);
            PORT_LOG(LOG_INFO, "[%s] SyncIoCtrl WaitForMultipleObjects() cancel request. [code:%d]", PortName(),
                     static_cast<int>(dwWait));
            dwError = ERROR_CANCELLED;
            bResult = FALSE;
            break;
        }
        if (dwWait == WAIT_TIMEOUT) {
            SetLastError(ERROR_TIMEOUT);
            PORT_LOG(LOG_WARNING, "[%s] SyncIoCtrl WaitForMultipleObjects() [WAIT_TIMEOUT] [Time:%dms] [DATALEN:%dbyte]",
                     PortName(), static_cast<int>(dwTimeout), static_cast<int>(cbDone));
            dwError = ERROR_TIMEOUT;
            break;
        }
        dwError = ERROR_OPERATION_ABORTED;
        SetLastError(dwError);
        PORT_LOG(LOG_ERROR, "[%s] SyncIoCtrl WaitForMultipleObjects() [type:%d]", PortName(), TYPE_WRITE);
        bResult = FALSE;
        break;
    }
    // usblp took the bytes for a transfer still under way: they count once it has ended.
    if (bResult && dwError == ERROR_SUCCESS && cbDone == cbBuffer && !WaitTransferEnded(fd.Get(), deadline.Remaining())) {
        dwError = GetLastError();
        PORT_LOG(LOG_WARNING, "[%s] SyncIoCtrl WaitForMultipleObjects() [WAIT_TIMEOUT] [Time:%dms] [DATALEN:%dbyte]",
                 PortName(), static_cast<int>(dwTimeout), 0);
        cbDone = 0;
        if (dwError != ERROR_TIMEOUT) bResult = FALSE;
    }
    if (cbDone > 0) LogDump(LOG_TRANSMITTED, PortName(), pBuffer, cbDone);
    if (pKeep != nullptr && bResult && dwError == ERROR_SUCCESS && cbDone == cbBuffer) *pKeep = std::move(fd);
    Close(FALSE);
    // Bytes that left are counted whatever ended the request.
    *pcbWritten = cbDone;
    SetLastError(dwError);
    return bResult;
}

BOOL CUsb::SyncRead(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD dwTimeout) {
    *pcbRead = 0;
    if (dwTimeout == 0) dwTimeout = kReadDefaultMs;
    if (cbBuffer < kReadUnit) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        PORT_LOG(LOG_ERROR, "[%s] SyncIoCtrl Small rec buffer size [%d byte]", PortName(), static_cast<int>(cbBuffer));
        Close(FALSE);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const Deadline deadline(dwTimeout);
    UniqueFd fd = WaitResetEnded(dwTimeout) ? DupDevice() : UniqueFd();
    if (!fd) {
        LastErrorGuard keep;
        Close(FALSE);
        return FALSE;
    }
    const DWORD cbAsk = cbBuffer - cbBuffer % kReadUnit;
    BOOL bResult = TRUE;
    DWORD dwError = ERROR_SUCCESS;
    for (;;) {
        const ssize_t n = ::read(fd.Get(), pBuffer, cbAsk);
        if (n >= 0) {
            *pcbRead = static_cast<DWORD>(n);
            if (n > 0) {
                PORT_LOG(LOG_DEBUG, "[%s] SyncIoCtrl ReadFile() (%d byte)", PortName(), static_cast<int>(n));
                LogDump(LOG_RECEIVED, PortName(), pBuffer, static_cast<std::size_t>(n));
            }
            break;
        }
        const int err = errno;
        if (err == EINVAL && m_bReadsRefused.exchange(true)) {
            dwError = ERROR_REQUEST_ABORTED;
            SetLastError(dwError);
            bResult = FALSE;
            break;
        }
        if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
            FailIo(err, TYPE_READ);
            dwError = GetLastError();
            bResult = FALSE;
            break;
        }
        std::array items{TermItem(), WaitItem::ForFd(fd.Get(), POLLIN)};
        const DWORD dwWait = WaitForAny(items, deadline.Remaining());
        if (dwWait == WAIT_OBJECT_0 + 1) continue;
        if (dwWait == WAIT_OBJECT_0) {
            dwError = ERROR_CANCELLED;
            SetLastError(dwError);
            PORT_LOG(LOG_INFO, "[%s] SyncIoCtrl WaitForMultipleObjects() cancel request. [code:%d]", PortName(),
                     static_cast<int>(dwWait));
            bResult = FALSE;
            break;
        }
        if (dwWait == WAIT_TIMEOUT) {
            // Nothing to read in time is no failure: TRUE with 0 bytes.
            dwError = ERROR_TIMEOUT;
            SetLastError(dwError);
            PORT_LOG(LOG_WARNING, "[%s] SyncIoCtrl WaitForMultipleObjects() [WAIT_TIMEOUT] [Time:%dms] [DATALEN:%dbyte]",
                     PortName(), static_cast<int>(dwTimeout), 0);
            break;
        }
        dwError = ERROR_OPERATION_ABORTED;
        SetLastError(dwError);
        PORT_LOG(LOG_ERROR, "[%s] SyncIoCtrl WaitForMultipleObjects() [type:%d]", PortName(), TYPE_READ);
        bResult = FALSE;
        break;
    }
    Close(FALSE);
    SetLastError(dwError);
    return bResult;
}

BOOL CUsb::Write(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) {
    const Deadline deadline(dwTimeout);
    const DWORD cbFirst = std::min(cbBuffer, kSyncBytes);
    DWORD cbSync = 0;
    UniqueFd fdFirst;
    BOOL bSync = SyncWrite(pBuffer, cbFirst, &cbSync, dwTimeout, cbFirst < cbBuffer ? &fdFirst : nullptr);
    if (pcbWritten != nullptr) *pcbWritten += cbSync;
    if (!bSync) {
        PORT_LOG(LOG_ERROR, "[%s] Write SyncIoCtrl", PortName());
        return FALSE;
    }
    if (cbSync == cbBuffer) {
        PORT_LOG(LOG_DEBUG, "[%s] Write success [cbInBuf:%d]", PortName(), static_cast<int>(cbBuffer));
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    if (cbSync < cbFirst || deadline.Expired()) {
        SetLastError(cbSync == 0 ? ERROR_BUSY : ERROR_TIMEOUT);
        PORT_LOG(LOG_WARNING, "[%s] Write timeout [%dms > %dms]", PortName(), static_cast<int>(deadline.Elapsed()),
                 static_cast<int>(dwTimeout));
        SetLastError(cbSync == 0 ? ERROR_BUSY : ERROR_TIMEOUT);
        return cbSync > 0 ? TRUE : FALSE;
    }
    const DWORD cbRest = cbBuffer - cbSync;
    PORT_LOG(LOG_DEBUG, "[%s] Write CreateThread() [%dbyte]", PortName(), static_cast<int>(cbRest));
    PORT_LOG(LOG_DEBUG, "[%s] Write WaitForTrdSending()", PortName());
    {
        std::lock_guard lock(csDev);
        m_fdHandOff = std::move(fdFirst);
    }
    BOOL bResult = WriteOnSendingThread(pBuffer + cbSync, cbRest, pcbWritten, deadline.Remaining());
    UniqueFd unused;  // the thread never started: closed outside the lock
    {
        std::lock_guard lock(csDev);
        unused = std::move(m_fdHandOff);
    }
    if (!bResult && SendingThreadNotCreated()) PORT_LOG(LOG_ERROR, "[%s] Write CreateThread()", PortName());
    return bResult;
}

BOOL CUsb::Read(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD dwTimeout) {
    DWORD cbRead = 0;
    if (SyncRead(pBuffer, cbBuffer, &cbRead, dwTimeout)) {
        *pcbRead = cbRead;
        return TRUE;
    }
    *pcbRead = 0;
    const DWORD dwError = GetLastError();
    if (dwError == ERROR_CANCELLED) return FALSE;
    if (!IsConnect()) return FALSE;
    SetLastError(dwError);
    return TRUE;
}

BOOL CUsb::WaitResetEnded(DWORD dwTimeout, DWORD* pdwWait) {
    std::shared_ptr<ResetCall> call;
    {
        std::lock_guard lock(csDev);
        call = m_pReset;
    }
    if (!call || call->done.IsSet()) return TRUE;
    std::array items{TermItem(), CancelItem(), AbortItem(), WaitItem::For(call->done)};
    const DWORD dwWait = WaitForAny(items, dwTimeout);
    if (pdwWait != nullptr) *pdwWait = dwWait;
    if (dwWait == WAIT_OBJECT_0 + 3) return TRUE;
    if (dwWait == WAIT_TIMEOUT) {
        SetLastError(ERROR_BUSY);
    } else if (dwWait != WAIT_FAILED) {
        SetLastError(ERROR_CANCELLED);
    }
    return FALSE;
}

bool CUsb::ResetUnderWay() {
    std::lock_guard lock(csDev);
    return m_pReset && !m_pReset->done.IsSet();
}

BOOL CUsb::SoftReset() {
    // A reset that a cancel left under way still holds usblp's lock: the next one waits.
    if (!WaitResetEnded(kResetWaitMs) || m_resetThread.WaitForEnd(kResetWaitMs) != WAIT_OBJECT_0) {
        if (GetLastError() != ERROR_CANCELLED) SetLastError(ERROR_BUSY);
        LastErrorGuard keep;
        Close(FALSE);
        return FALSE;
    }
    UniqueFd fd = DupDevice();
    if (!fd) {
        LastErrorGuard keep;
        Close(FALSE);
        return FALSE;
    }
    std::shared_ptr<ResetCall> call;
    try {
        call = std::make_shared<ResetCall>();
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (call && !call->done.Valid()) call.reset();
    if (call) {
        call->fd = std::move(fd);
        {
            std::lock_guard lock(csDev);
            m_pReset = call;
        }
        // The descriptor is closed only once usblp has given the ioctl back, so its number
        // is never reused while the request still runs.
        if (!m_resetThread.Start([call] {
                const int nResult = ::ioctl(call->fd.Get(), UsblpSoftResetRequest());
                call->err = nResult == 0 ? 0 : errno;
                call->fd.Reset();
                call->done.Set();
            })) {
            std::lock_guard lock(csDev);
            m_pReset.reset();
            call.reset();
        }
    }
    if (!call) {
        PORT_LOG(LOG_ERROR, "[%s] SyncIoCtrl WaitForMultipleObjects() [type:%d]", PortName(), TYPE_CONTROL);
        LastErrorGuard keep;
        Close(FALSE);
        return FALSE;
    }
    DWORD dwWait = WAIT_OBJECT_0;
    if (!WaitResetEnded(kResetWaitMs, &dwWait)) {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_CANCELLED) {
            PORT_LOG(LOG_INFO, "[%s] SyncIoCtrl WaitForMultipleObjects() cancel request. [code:%d]", PortName(),
                     static_cast<int>(dwWait));
        } else {
            dwError = ERROR_TIMEOUT;
            PORT_LOG(LOG_WARNING, "[%s] SyncIoCtrl WaitForMultipleObjects() [WAIT_TIMEOUT] [Time:%dms] [DATALEN:%dbyte]",
                     PortName(), static_cast<int>(kResetWaitMs), 0);
        }
        // The reset goes on alone; requests wait for its end.
        Close(FALSE);
        SetLastError(dwError);
        return FALSE;
    }
    m_resetThread.WaitForEnd(INFINITE);  // setting done is its last act
    BOOL bResult = TRUE;
    if (const int err = call->err.load(); err != 0) {
        if (err == ENOTTY || err == EINVAL) {
            SetLastError(ERROR_NOT_SUPPORTED);
            PORT_LOG(LOG_WARNING, "[%s] Reset [NOT SUPPORTED]", PortName());
            SetLastError(ERROR_NOT_SUPPORTED);
        } else {
            FailIo(err, TYPE_CONTROL);
        }
        bResult = FALSE;
    }
    LastErrorGuard keep;
    Close(FALSE);
    return bResult;
}

BOOL CUsb::Reset() {
    PORT_LOG(LOG_INFO, "[%s] Reset", PortName());
    return SoftReset();
}

BOOL CUsb::DevIo(DWORD dwIoControlCode, const void* /*pInBuffer*/, DWORD /*cbInBuffer*/, void* pOutBuffer,
                 DWORD cbOutBuffer, DWORD* pcbReturned) {
    PORT_LOG(LOG_INFO, "[%s] DevIo", PortName());
    if (pcbReturned != nullptr) *pcbReturned = 0;
    if (dwIoControlCode == IOCTL_USBPRINT_SOFT_RESET) return SoftReset();
    if (dwIoControlCode != IOCTL_USBPRINT_GET_1284_ID) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    // A node that cannot be opened still has its cached ID in sysfs; so has one whose
    // reset holds usblp's lock (the ioctl would wait for it).
    UniqueFd fd = ResetUnderWay() ? UniqueFd() : DupDevice();
    if (!fd && HasStatus(PM_STATUS_OFFLINE) && !IsConnect()) return FALSE;
    DWORD cb = 0;
    BOOL bResult = ReadUsbDeviceIdRaw(fd.Get(), m_nLp, static_cast<BYTE*>(pOutBuffer), cbOutBuffer, &cb);
    LastErrorGuard keep;
    if (bResult && pcbReturned != nullptr) *pcbReturned = cb;
    Close(FALSE);
    return bResult;
}

BOOL CUsb::Cancel() {
    if (hThread.Attached()) {
        PORT_LOG(LOG_INFO, "[%s] Cancel", PortName());
    } else {
        PORT_LOG(LOG_INFO, "[%s] Cancel [NOT USED]", PortName());
    }
    return TRUE;
}

// ---- The sending thread ----

bool CUsb::BeginSending() {
    UniqueFd fd;
    {
        std::lock_guard lock(csDev);
        fd = std::move(m_fdHandOff);
    }
    if (!fd) fd = DupDevice(false);
    if (!fd) {
        // The printer left after the first bytes: the rest never goes to whatever comes
        // back under the name.
        PORT_LOG(LOG_DEBUG, "[%s] ThreadSendUsb Open() failed", PortName());
        SetSendError(ERROR_DEVICE_NOT_CONNECTED);
        return false;
    }
    hSendHandle = std::move(fd);
    return true;
}

long CUsb::WriteNow(const BYTE* pData, DWORD cbData) {
    const ssize_t n = ::write(hSendHandle.Get(), pData, cbData);
    if (n >= 0) return static_cast<long>(n);
    const int err = errno;
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) return 0;
    SetLastErrorFromErrno(err);
    PORT_LOG(LOG_WARNING, "[%s] ThreadSendUsb WriteFile() [other]", PortName());
    if (Gone(err)) {
        // The transfer ends here: a device that comes back gets only a new one.
        hSendHandle.Reset();
        CloseDevice();
        IsConnect();
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return -1;
    }
    SetLastError(ERROR_REQUEST_ABORTED);
    return -1;
}

bool CUsb::FinishLastChunk() {
    if (WaitTransferEnded(hSendHandle.Get(), INFINITE)) return true;
    const DWORD dwError = GetLastError();
    PORT_LOG(LOG_WARNING, "[%s] ThreadSendUsb WriteFile() [other]", PortName());
    SetLastError(dwError);
    return false;
}

void CUsb::EndSending() {
    hSendHandle.Reset();
    PORT_LOG(LOG_DEBUG, "[%s] ThreadSendUsb done", PortName());
}
