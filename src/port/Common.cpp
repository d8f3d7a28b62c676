#include "port/Common.h"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/Globals.h"
#include "port/PortLog.h"

namespace {

// The thread's end waits this long at destruction before it is joined regardless: a
// running thread still uses the driver, so it is never left behind.
constexpr DWORD DESTROY_THREAD_WAIT = 60000;
// One pass of the default writability wait; the thread looks at bAbortSend between passes.
constexpr DWORD SEND_POLL_PASS = 100;
// How long a writer waits for a thread it told to stop inside a chunk. The thread's waits
// are single passes of SEND_POLL_PASS, so it ends well within this.
constexpr DWORD SEND_STOP_WAIT = 5000;

int ForLog(DWORD dwTimeout) noexcept { return dwTimeout == INFINITE ? -1 : static_cast<int>(dwTimeout); }

}  // namespace

CCommon::CCommon() noexcept = default;

CCommon::~CCommon() {
    if (ThreadRunning() && hThread.WaitForEnd(DESTROY_THREAD_WAIT) != WAIT_OBJECT_0) {
        PORT_LOG(LOG_ERROR, "[%s] ~CCommon sending thread still running", PortName());
    }
    // Joined here, while every field its run may still touch is alive.
    hThread.Stop();
    std::lock_guard lock(csLock);
    pSendData = nullptr;
    cbSendRemain = 0;
    cbSent = 0;
    dwSendError = 0;
}

// ---- Base behaviour of the virtual operations ----

BOOL CCommon::Init() {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

void CCommon::Term() {}

BOOL CCommon::Write(const BYTE*, DWORD, DWORD*, DWORD) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

BOOL CCommon::Read(BYTE*, DWORD, DWORD*, DWORD) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

BOOL CCommon::Reset() {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

BOOL CCommon::DevIo(DWORD, const void*, DWORD, void*, DWORD, DWORD*) {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

BOOL CCommon::Cancel() {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

BOOL CCommon::Open() {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

BOOL CCommon::IsConnect() {
    SetLastError(ERROR_INVALID_FUNCTION);
    return FALSE;
}

long CCommon::WriteNow(const BYTE* pData, DWORD cbData) {
    const int fd = hSendHandle.Get();
    ssize_t n = ::send(fd, pData, cbData, MSG_DONTWAIT | MSG_NOSIGNAL);
    bool bSocket = !(n < 0 && errno == ENOTSOCK);
    if (!bSocket) n = ::write(fd, pData, cbData);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    if (bSocket) {
        SetLastErrorFromSocketErrno(errno);
    } else {
        SetLastErrorFromErrno(errno);
    }
    return -1;
}

bool CCommon::WaitUntilWritable() {
    std::array items{TermItem(), CancelItem(), WaitItem::ForFd(hSendHandle.Get(), POLLOUT)};
    const DWORD dwWait = WaitForAny(items, SEND_POLL_PASS);
    return dwWait != WAIT_OBJECT_0 && dwWait != WAIT_OBJECT_0 + 1;
}

// ---- Use counter ----

void CCommon::IncUseCounter() noexcept {
    std::lock_guard lock(csLock);
    ++nCallStartDoc;
}

// The signal goes out under csLock: the close that waits for the count to reach 0 reads
// it under the same lock, so it cannot destroy the driver while this call still uses it.
// Once the count is 0 the caller must not touch the driver again.
void CCommon::DecUseCounter() noexcept {
    std::string name;
    {
        std::lock_guard lock(csLock);
        if (nCallStartDoc > 0) {
            --nCallStartDoc;
            hEvtUseDec.Set();
            return;
        }
        try {
            name = pszPortName;
        } catch (...) {
        }
        hEvtUseDec.Set();
    }
    PORT_LOG(LOG_ERROR, "[%s] DecUseCounter (nCallStartDoc=%d)", name.c_str(), 0);
}

DWORD CCommon::UseCount() const noexcept {
    std::lock_guard lock(csLock);
    return nCallStartDoc;
}

void CCommon::AbortSend() noexcept {
    std::lock_guard lock(csLock);
    bAbortSend = TRUE;
}

// ---- Locks ----
// Termination is listed first: once set it must win even over a free lock, so that after
// IoCancelRequest no lock can be taken.

BOOL CCommon::WaitForCtrlFunc() noexcept {
    const std::array<WaitItem, 2> items = {WaitItem::For(hEvtTerm), WaitItem::For(hEvtCtrl)};
    DWORD dwWait = WaitForAny(items, INFINITE);
    if (dwWait == WAIT_OBJECT_0 + 1) return TRUE;
    if (dwWait == WAIT_OBJECT_0) {
        SetLastError(ERROR_CANCELLED);
        PORT_LOG(LOG_WARNING, "[%s] WaitForCtrlFunc [CANCEL]", PortName());
        return FALSE;
    }
    SetLastError(ERROR_OPERATION_ABORTED);
    PORT_LOG(LOG_ERROR, "[%s] WaitForCtrlFunc [UNKNOWN]", PortName());
    return FALSE;
}

BOOL CCommon::WaitForLastSending(DWORD* pdwTimeout, BOOL bIgnoreCancel) noexcept {
    const DWORD dwLimit = pdwTimeout != nullptr ? *pdwTimeout : INFINITE;
    const Deadline deadline(dwLimit);
    PORT_LOG(LOG_DEBUG, "[%s] WaitForLastSending WaitForMultipleObjects(%dms)", PortName(), ForLog(dwLimit));
    // A pending cancel also beats a free lock, so a write never slips in during a cancel.
    std::array<WaitItem, 3> items = {WaitItem::For(hEvtTerm), WaitItem::For(hEvtCancel), WaitItem::For(hEvtSend)};
    std::span<const WaitItem> set(items);
    const DWORD dwSendIndex = bIgnoreCancel ? 1 : 2;
    if (bIgnoreCancel) {
        items[1] = WaitItem::For(hEvtSend);
        set = set.first(2);
    }
    const DWORD dwWait = WaitForAny(set, dwLimit);
    const DWORD dwElapsed = deadline.Elapsed();
    if (dwWait == WAIT_OBJECT_0 + dwSendIndex) {
        if (dwLimit == INFINITE || dwElapsed < dwLimit) {
            if (pdwTimeout != nullptr && dwLimit != INFINITE) *pdwTimeout -= dwElapsed;
            PORT_LOG(LOG_DEBUG, "[%s] WaitForLastSending [PASSTIME:%dms]", PortName(), static_cast<int>(dwElapsed));
            return TRUE;
        }
        *pdwTimeout = 0;
        hEvtSend.Set();
        SetLastError(ERROR_TIMEOUT);
        PORT_LOG(LOG_WARNING, "[%s] WaitForLastSending [TIMEOUT:%dms>%dms]", PortName(), static_cast<int>(dwElapsed),
                 ForLog(dwLimit));
        return FALSE;
    }
    if (dwWait == WAIT_OBJECT_0 || (!bIgnoreCancel && dwWait == WAIT_OBJECT_0 + 1)) {
        SetLastError(ERROR_CANCELLED);
        PORT_LOG(LOG_WARNING, "[%s] WaitForLastSending [CANCEL]", PortName());
        return FALSE;
    }
    if (dwWait == WAIT_TIMEOUT) {
        SetLastError(ERROR_TIMEOUT);
        PORT_LOG(LOG_WARNING, "[%s] WaitForLastSending [TIMEOUT:%dms]", PortName(), ForLog(dwLimit));
        return FALSE;
    }
    SetLastError(ERROR_REQUEST_ABORTED);
    PORT_LOG(LOG_ERROR, "[%s] WaitForLastSending [UNKNOWN]", PortName());
    return FALSE;
}

// ---- Sending thread ----

void CCommon::ForgetEndedThread() noexcept {
    hThread.WaitForEnd(INFINITE);
    std::lock_guard lock(csLock);
    bThreadTimeout = FALSE;
    bAbortSend = FALSE;
}

BOOL CCommon::WaitForLastTrdSending(DWORD* pdwTimeout, BOOL bIgnoreCancel) noexcept {
    if (!ThreadRunning()) {
        {
            std::lock_guard lock(csLock);
            bAbortSend = FALSE;
            bThreadTimeout = FALSE;
        }
        PORT_LOG(LOG_DEBUG, "[%s] WaitForLastTrdSending [non thread mode]", PortName());
        return TRUE;
    }
    const DWORD dwLimit = pdwTimeout != nullptr ? *pdwTimeout : INFINITE;
    const Deadline deadline(dwLimit);
    // Without a limit the wait is for the thread alone (destruction waits this way).
    std::array<WaitItem, 3> items = {WaitItem::For(hThread.EndEvent()), WaitItem::For(hEvtTerm),
                                     WaitItem::For(hEvtCancel)};
    std::size_t nItems = pdwTimeout == nullptr ? 1 : (bIgnoreCancel ? 2 : 3);
    // An ended thread is the wait's first item: the outcome is known without a poll.
    const DWORD dwWait = hThread.HasEnded() ? WAIT_OBJECT_0
                                            : WaitForAny(std::span<const WaitItem>(items.data(), nItems), dwLimit);
    if (dwWait == WAIT_OBJECT_0) {
        ForgetEndedThread();
        if (bCancelling) {
            SetLastError(ERROR_CANCELLED);
            PORT_LOG(LOG_WARNING, "[%s] WaitForLastTrdSending [CANCEL]", PortName());
            return bIgnoreCancel;
        }
        const DWORD dwElapsed = deadline.Elapsed();
        if (dwLimit == INFINITE || dwElapsed < dwLimit) {
            if (pdwTimeout != nullptr && dwLimit != INFINITE) *pdwTimeout -= dwElapsed;
            PORT_LOG(LOG_TRACE, "[%s] WaitForLastTrdSending [PASSTIME:%dms]", PortName(), static_cast<int>(dwElapsed));
            return TRUE;
        }
        *pdwTimeout = 0;
    }
    if (dwWait == WAIT_OBJECT_0 || dwWait == WAIT_TIMEOUT) {
        SetLastError(ERROR_TIMEOUT);
        PORT_LOG(LOG_WARNING, "[%s] WaitForLastTrdSending [TIMEOUT:%dms]", PortName(), ForLog(dwLimit));
        return FALSE;
    }
    if (dwWait == WAIT_OBJECT_0 + 1 || dwWait == WAIT_OBJECT_0 + 2) {
        SetLastError(ERROR_CANCELLED);
        PORT_LOG(LOG_WARNING, "[%s] WaitForLastTrdSending [CANCEL]", PortName());
        return FALSE;
    }
    SetLastError(ERROR_WRITE_FAULT);
    PORT_LOG(LOG_ERROR, "[%s] WaitForLastTrdSending [UNKNOWN]", PortName());
    return FALSE;
}

BOOL CCommon::WaitForTrdSending(DWORD dwTimeout, DWORD* pcbWritten) noexcept {
    const std::array<WaitItem, 3> items = {WaitItem::For(hThread.EndEvent()), WaitItem::For(hEvtTerm),
                                           WaitItem::For(hEvtCancel)};
    const DWORD dwWait = WaitForAny(items, dwTimeout);
    if (dwWait != WAIT_OBJECT_0) SettleSendingThread(dwWait == WAIT_TIMEOUT);
    DWORD cbTaken = 0;
    DWORD dwError = 0;
    {
        std::lock_guard lock(csLock);
        cbTaken = cbSent;
        dwError = dwSendError;
    }
    if (pcbWritten != nullptr) *pcbWritten += cbTaken;
    if (dwWait == WAIT_OBJECT_0) {
        if (dwError != 0) {
            SetLastError(dwError);
            PORT_LOG(LOG_ERROR, "[%s] WaitForTrdSending [ERR:%08x]", PortName(), dwError);
            return FALSE;
        }
        SetLastError(ERROR_SUCCESS);
        PORT_LOG(LOG_TRACE, "[%s] WaitForTrdSending [DATALEN:%dbyte]", PortName(), static_cast<int>(cbTaken));
        return TRUE;
    }
    if (dwWait == WAIT_OBJECT_0 + 1 || dwWait == WAIT_OBJECT_0 + 2) {
        SetLastError(ERROR_CANCELLED);
        PORT_LOG(LOG_WARNING, "[%s] WaitForTrdSending [CANCEL] [DATALEN:%dbyte]", PortName(), static_cast<int>(cbTaken));
        return FALSE;
    }
    if (dwWait == WAIT_TIMEOUT) {
        SetLastError(ERROR_TIMEOUT);
        PORT_LOG(LOG_WARNING, "[%s] WaitForTrdSending [TIMEOUT:%dms] [DATALEN:%dbyte]", PortName(), ForLog(dwTimeout),
                 static_cast<int>(cbTaken));
        return TRUE;
    }
    SetLastError(ERROR_WRITE_FAULT);
    PORT_LOG(LOG_ERROR, "[%s] WaitForTrdSending [UNKNOWN]", PortName());
    return FALSE;
}

// A writer that stops waiting must not report a chunk that is still on its way: once time
// ran out the thread may finish the chunk it took (it takes no other), and only if that
// takes too long, or on a cancel, is it stopped inside the chunk, taking back what never
// left. The count is read after the thread has ended.
void CCommon::SettleSendingThread(bool bTimedOut) noexcept {
    {
        std::lock_guard lock(csLock);
        if (bTimedOut) {
            bThreadTimeout = TRUE;
        } else {
            bAbortSend = TRUE;
        }
    }
    if (bTimedOut) {
        const std::array<WaitItem, 3> items = {WaitItem::For(hThread.EndEvent()), WaitItem::For(hEvtTerm),
                                               WaitItem::For(hEvtCancel)};
        if (WaitForAny(items, SEND_CHUNK_GRACE) == WAIT_OBJECT_0) return;
        AbortSend();
    }
    if (WaitForEvent(hThread.EndEvent(), SEND_STOP_WAIT) != WAIT_OBJECT_0) {
        PORT_LOG(LOG_ERROR, "[%s] WaitForTrdSending sending thread still running", PortName());
    }
}

BOOL CCommon::WriteOnSendingThread(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) noexcept {
    {
        std::lock_guard lock(csLock);
        pSendData = pBuffer;
        cbSendRemain = cbBuffer;
        cbSent = 0;
        dwSendError = 0;
    }
    m_bThreadRan = false;
    BOOL bStarted = hThread.Start([this]() {
        m_bThreadRan = true;
        SendingThread();
    });
    if (!bStarted) {
        LastErrorGuard keep;
        DetachCallerBuffer();
        return FALSE;
    }
    BOOL bResult = WaitForTrdSending(dwTimeout, pcbWritten);
    LastErrorGuard keep;
    DetachCallerBuffer();
    return bResult;
}

// Whatever the thread's driver does, it cannot reach the caller's buffer any more.
void CCommon::DetachCallerBuffer() noexcept {
    std::lock_guard lock(csLock);
    pSendData = nullptr;
    cbSendRemain = 0;
}

DWORD CCommon::TakeChunk(BYTE* pChunk, DWORD cbMax, DWORD* pdwStopError) noexcept {
    std::lock_guard lock(csLock);
    *pdwStopError = 0;
    if (bAbortSend) {
        *pdwStopError = ERROR_CANCELLED;
        return 0;
    }
    if (bThreadTimeout) {
        *pdwStopError = ERROR_TIMEOUT;
        return 0;
    }
    if (pSendData == nullptr || cbSendRemain == 0) return 0;
    const DWORD cbChunk = cbSendRemain < cbMax ? cbSendRemain : cbMax;
    std::memcpy(pChunk, pSendData, cbChunk);
    pSendData += cbChunk;
    cbSendRemain -= cbChunk;
    cbSent += cbChunk;
    return cbChunk;
}

bool CCommon::NothingLeftToTake() const noexcept {
    std::lock_guard lock(csLock);
    return pSendData == nullptr || cbSendRemain == 0;
}

void CCommon::Unsend(DWORD cbUnsent) noexcept {
    std::lock_guard lock(csLock);
    cbSent -= cbUnsent < cbSent ? cbUnsent : cbSent;
}

// ---- The chunk loop ----
// A timeout or the driver's own stop reasons are looked at only before a chunk is taken;
// inside a chunk only an abort or a device fault stops the thread, so a chunk counted in
// cbSent either leaves whole or is taken back by what did not leave.

void CCommon::SendingThread() {
    std::vector<BYTE> chunk;
    try {
        chunk.resize(SendChunkSize());
    } catch (...) {
        SetSendError(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!chunk.empty() && BeginSending()) {
        for (;;) {
            if (StopBeforeChunk()) break;
            DWORD dwStop = 0;
            const DWORD cbChunk = TakeChunk(chunk.data(), static_cast<DWORD>(chunk.size()), &dwStop);
            if (cbChunk == 0) {
                if (dwStop != 0) {
                    SetSendError(dwStop);
                    PORT_LOG(LOG_WARNING, "[%s] %s [CANCEL] or [TIMEOUT]", PortName(), SendThreadName());
                }
                break;
            }
            PORT_LOG(LOG_DEBUG, "[%s] %s send() [%dbyte]", PortName(), SendThreadName(), static_cast<int>(cbChunk));
            if (!SendWholeChunk(chunk.data(), cbChunk)) break;
            if (NothingLeftToTake() && !FinishLastChunk()) {
                const DWORD dwError = GetLastError();
                Unsend(cbChunk);
                SetSendError(dwError);
                break;
            }
            LogDump(LOG_TRANSMITTED, PortName(), chunk.data(), cbChunk);
        }
    }
    EndSending();
}

bool CCommon::StopBeforeChunk() {
    if (SendingBlocked()) return true;
    DWORD dwError = 0;
    const char* pszWhat = nullptr;
    if (bAbortSend) {
        dwError = ERROR_CANCELLED;
        pszWhat = "CANCEL";
    } else if (bThreadTimeout) {
        dwError = ERROR_TIMEOUT;
        pszWhat = "TIMEOUT";
    } else {
        return false;
    }
    SetSendError(dwError);
    PORT_LOG(LOG_WARNING, "[%s] %s [%s]", PortName(), SendThreadName(), pszWhat);
    return true;
}

bool CCommon::SendWholeChunk(const BYTE* pChunk, DWORD cbChunk) {
    DWORD cbDone = 0;
    while (cbDone < cbChunk) {
        if (IsSendAborted()) {
            Unsend(cbChunk - cbDone);
            SetSendError(ERROR_CANCELLED);
            PORT_LOG(LOG_WARNING, "[%s] %s [CANCEL] [%d/%dbyte]", PortName(), SendThreadName(), static_cast<int>(cbDone),
                     static_cast<int>(cbChunk));
            return false;
        }
        const long n = WriteNow(pChunk + cbDone, cbChunk - cbDone);
        if (n > 0) {
            cbDone += static_cast<DWORD>(n) < cbChunk - cbDone ? static_cast<DWORD>(n) : cbChunk - cbDone;
            continue;
        }
        if (n < 0) {
            Unsend(cbChunk - cbDone);
            SetSendError(OnSendFault(GetLastError()));
            return false;
        }
        if (!WaitUntilWritable()) AbortSend();
    }
    return true;
}

void CCommon::SetSendError(DWORD dwError) noexcept {
    std::lock_guard lock(csLock);
    dwSendError = dwError;
}

BOOL CCommon::IoCancelRequest() noexcept {
    AbortSend();
    hEvtCancel.Set();
    hEvtTerm.Set();
    PORT_LOG(LOG_TRACE, "[%s] IoCancelRequest WaitForSingleObject()", PortName());
    // Taking the send lock (for good) means no write sits between its wait and its release.
    // A second request (the destructor after an explicit one) must not wait for itself.
    if (!m_bSendLockKept.exchange(true)) WaitForEvent(hEvtSend, INFINITE);
    PORT_LOG(LOG_TRACE, "[%s] IoCancelRequest WaitForLastTrdSending()", PortName());
    const BOOL bResult = WaitForLastTrdSending(nullptr, FALSE);
    LastErrorGuard keep;
    hThread.Stop();
    return bResult;
}

WaitItem CCommon::AbortItem() noexcept { return WaitItem::For(PortAbortEvent()); }
