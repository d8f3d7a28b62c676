#include "port/SocketPort.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>

#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/PortLog.h"

namespace {

constexpr DWORD kInitIntervalMs = 3000;
constexpr DWORD kSendPollMs = 100;
constexpr DWORD kShutdownLimitMs = 60000;
constexpr DWORD kDrainStepMs = 100;  // the receive time-out the channels are given

}  // namespace

BOOL CSocketPort::Init() {
    if (!bSuccessInit) {
        SetLastError(m_dwInitError);
        PORT_LOG(LOG_ERROR, "[%s] Init() bSuccessInit=false", PortName());
        return FALSE;
    }
    if (pszHostAddress && GetTickCount() - dwLastInitTick <= kInitIntervalMs) return TRUE;
    if (HasStatus(PM_STATUS_TCP_CON_WITHOUT_OPEN) && !pszHostAddress) return TRUE;
    dwLastInitTick = GetTickCount();
    SetSockAddr();
    return TRUE;
}

BOOL CSocketPort::DevIo(DWORD, const void*, DWORD, void*, DWORD, DWORD* pcbReturned) {
    if (pcbReturned != nullptr) *pcbReturned = 0;
    return TRUE;
}

BOOL CSocketPort::SetStreamOptions(int fd, int cbSendBuffer) {
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &cbSendBuffer, sizeof cbSendBuffer) != 0) {
        SetLastErrorFromSocketErrno(errno);
        PORT_LOG(LOG_ERROR, "[%s] setsockopt SO_SNDBUF. [WSAERR:%d]", PortName(), static_cast<int>(GetLastError()));
        return FALSE;
    }
    timeval rcv{0, 100000};
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &rcv, sizeof rcv) != 0) {
        SetLastErrorFromSocketErrno(errno);
        PORT_LOG(LOG_ERROR, "[%s] setsockopt SO_RCVTIMEO. [WSAERR:%d]", PortName(), static_cast<int>(GetLastError()));
        return FALSE;
    }
    return TRUE;
}

bool CSocketPort::KeepDraining(DWORD /*dwError*/) { return true; }

void CSocketPort::DrainForClose(int fd) {
    Deadline limit(kShutdownLimitMs);
    char scratch[1024];
    for (;;) {
        // A cancelled run does not wait for a printer that never lets go of the line.
        std::array items{WaitItem::ForFd(fd, POLLIN), AbortItem()};
        if (WaitForAny(items, kDrainStepMs) == WAIT_OBJECT_0 + 1) {
            PORT_LOG(LOG_WARNING, "[%s] Close cancelled", PortName());
            break;
        }
        ssize_t n = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (n == 0) {
            PORT_LOG(LOG_DEBUG, "recv Passed. Return: %d LSError: %d ", 0, 0);
            break;
        }
        if (n < 0) {
            int err = errno;
            // A receive timeout reads EAGAIN here; it is the printer still holding the line.
            DWORD dwError = (err == EAGAIN || err == EWOULDBLOCK) ? WSAETIMEDOUT : SocketErrnoToWinError(err);
            SetLastError(dwError);
            PORT_LOG(LOG_WARNING, "recv Failed. Return: %d LSError: %d ", -1, static_cast<int>(dwError));
            if (dwError == WSAETIMEDOUT) PORT_LOG(LOG_WARNING, "WSA_ETIMEDOUT");
            if (!KeepDraining(dwError) || (dwError != WSAETIMEDOUT && err != EINTR)) break;
        }
        if (limit.Expired()) {
            PORT_LOG(LOG_ERROR, "Timeout (%dms)", static_cast<int>(kShutdownLimitMs));
            break;
        }
    }
}

// ---- Writing ----

BOOL CSocketPort::Write(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) {
    bSendThread = TRUE;
    PORT_LOG(LOG_DEBUG, "[%s] Write CreateThread()", PortName());
    if (m_bLogWriteTimeout) {
        PORT_LOG(LOG_INFO, "[%s] Write WaitForTrdSending() [%dms]", PortName(), static_cast<int>(dwTimeout));
    } else {
        PORT_LOG(LOG_INFO, "[%s] Write WaitForTrdSending()", PortName());
    }
    BOOL bResult = WriteOnSendingThread(pBuffer, cbBuffer, pcbWritten, dwTimeout);
    if (!bResult && SendingThreadNotCreated()) {
        bSendThread = FALSE;
        PORT_LOG(LOG_ERROR, "[%s] Write CreateThread()", PortName());
    }
    return bResult;
}

// Before each chunk: a printer that stopped answering ends the thread.
bool CSocketPort::SendingBlocked() {
    if (!HasStatus(PM_STATUS_OFFLINE)) return false;
    SetSendError(ERROR_DEVICE_NOT_CONNECTED);
    PORT_LOG(LOG_WARNING, "[%s] %s [ERROR_DEVICE_NOT_CONNECTED]", PortName(), SendThreadName());
    return true;
}

bool CSocketPort::BeginSending() {
    if (!OpenSendSocket()) {
        SetSendError(GetLastError());
        return false;
    }
    std::lock_guard lock(csSocket);
    // A descriptor of its own: a close by Cancel cannot hand this number to another file.
    if (const UniqueFd& sock = SendSocket(); sock) hSendHandle.Reset(::fcntl(sock.Get(), F_DUPFD_CLOEXEC, 0));
    if (hSendHandle) return true;
    SetSendError(ERROR_WRITE_FAULT);
    return false;
}

bool CSocketPort::WaitUntilWritable() {
    if (CCommon::WaitUntilWritable()) return true;
    dwLastSendTick = GetTickCount();
    return false;
}

DWORD CSocketPort::TakeCtrlAfterSendFault() {
    std::array items{TermItem(), CancelItem(), WaitItem::For(hEvtCtrl)};
    for (;;) {
        if (IsSendAborted()) return ERROR_CANCELLED;
        const DWORD dwWait = WaitForAny(items, kSendPollMs);
        if (dwWait == WAIT_OBJECT_0 + 2) return 0;
        if (dwWait != WAIT_TIMEOUT) return ERROR_WRITE_FAULT;
    }
}

void CSocketPort::EndSending() {
    hSendHandle.Reset();
    dwLastSendTick = GetTickCount();
    bSendThread = FALSE;
}
