#include "port/Common.h"

#include <array>
#include <cstring>

#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/PortLog.h"

namespace {

// The thread's end waits this long at destruction before it is joined regardless: a
// running thread still uses the driver, so it is never left behind.
constexpr DWORD DESTROY_THREAD_WAIT = 60000;

int ForLog(DWORD dwTimeout) noexcept { return dwTimeout == INFINITE ? -1 : static_cast<int>(dwTimeout); }

}  // namespace

CCommon::CCommon() noexcept = default;

CCommon::~CCommon() {
    if (ThreadRunning() && hThread.WaitForEnd(DESTROY_THREAD_WAIT) != WAIT_OBJECT_0) {
        PORT_LOG(LOG_ERROR, "[%s] ~CCommon sending thread still running", PortName());
    }
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

void CCommon::SendingThread() { SetSendError(ERROR_INVALID_FUNCTION); }

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
    std::array<WaitItem, 3> items = {WaitItem::For(m_evtThreadEnd), WaitItem::For(hEvtTerm),
                                     WaitItem::For(hEvtCancel)};
    std::size_t nItems = pdwTimeout == nullptr ? 1 : (bIgnoreCancel ? 2 : 3);
    const DWORD dwWait = WaitForAny(std::span<const WaitItem>(items.data(), nItems), dwLimit);
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
    const std::array<WaitItem, 3> items = {WaitItem::For(m_evtThreadEnd), WaitItem::For(hEvtTerm),
                                           WaitItem::For(hEvtCancel)};
    const DWORD dwWait = WaitForAny(items, dwTimeout);
    DWORD cbTaken = 0;
    DWORD dwError = 0;
    {
        std::lock_guard lock(csLock);
        cbTaken = cbSent;
        dwError = dwSendError;
        if (dwWait == WAIT_TIMEOUT) {
            bThreadTimeout = TRUE;
        } else if (dwWait != WAIT_OBJECT_0) {
            bAbortSend = TRUE;
        }
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

BOOL CCommon::WriteOnSendingThread(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) noexcept {
    {
        std::lock_guard lock(csLock);
        pSendData = pBuffer;
        cbSendRemain = cbBuffer;
        cbSent = 0;
        dwSendError = 0;
    }
    m_evtThreadEnd.Reset();
    BOOL bStarted = hThread.Start([this]() {
        SendingThread();
        m_evtThreadEnd.Set();
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
    return WaitForLastTrdSending(nullptr, FALSE);
}
