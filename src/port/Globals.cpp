#include "port/Globals.h"

#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/PortLog.h"
#include "port/Unknown.h"

namespace {

constexpr DWORD DEFAULT_WRITE_TIMEOUT = 5000;
constexpr DWORD CONTROL_BUDGET = 5000;
constexpr DWORD DRAIN_BUFFER_SIZE = 4096;
constexpr DWORD FREE_WAIT_STEP = 1000;
constexpr DWORD CANCEL_SETTLE_PAUSE = 100;

// Pointers are shown as 32-bit values in the parameter lines.
unsigned Ptr32(const void* p) noexcept { return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p)); }

// ---- Port kinds ----

std::mutex g_kindsMutex;
std::map<DWORD, PortFactory>& Kinds() {
    static std::map<DWORD, PortFactory> kinds;
    return kinds;
}
std::once_flag g_builtinOnce;

PortFactory FactoryOf(DWORD dwType) noexcept {
    std::call_once(g_builtinOnce, RegisterBuiltinPortKinds);
    std::lock_guard lock(g_kindsMutex);
    auto it = Kinds().find(dwType);
    return it != Kinds().end() ? it->second : nullptr;
}

// ---- The table ----
// A list through pNext under one mutex, held only for lookups and link changes. Handles
// count up and are never reused.

std::mutex g_tableMutex;
CCommon* g_pHead = nullptr;
HSDK g_hLast = 0;

CCommon* FindEntryLocked(HSDK hSdk) noexcept {
    for (CCommon* p = g_pHead; p != nullptr; p = p->pNext) {
        if (p->hSdk == hSdk) return p;
    }
    return nullptr;
}

CCommon* FindEntry(HSDK hSdk) noexcept {
    std::lock_guard lock(g_tableMutex);
    CCommon* p = FindEntryLocked(hSdk);
    if (p == nullptr) SetLastError(ERROR_INVALID_HANDLE);
    return p;
}

bool NameTakenLocked(const char* pszName) noexcept {
    for (CCommon* p = g_pHead; p != nullptr; p = p->pNext) {
        if (AsciiEqualNoCase(p->pszPortName, pszName)) return true;
    }
    return false;
}

bool FindEntryName(const char* pszName) noexcept {
    std::lock_guard lock(g_tableMutex);
    return NameTakenLocked(pszName);
}

std::shared_ptr<Event> EntryLockOf(HSDK hSdk) {
    std::lock_guard lock(g_tableMutex);
    CCommon* p = hSdk != 0 ? FindEntryLocked(hSdk) : nullptr;
    return p != nullptr ? p->pEntryLock : nullptr;
}

CCommon* UnlinkEntry(HSDK hSdk) noexcept {
    std::lock_guard lock(g_tableMutex);
    for (CCommon** pp = &g_pHead; *pp != nullptr; pp = &(*pp)->pNext) {
        if ((*pp)->hSdk == hSdk) {
            CCommon* p = *pp;
            *pp = p->pNext;
            p->pNext = nullptr;
            return p;
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

// Takes the entry lock of a handle. FALSE when the handle names no entry.
bool WaitEntryLock(HSDK hSdk, std::shared_ptr<Event>& pLock) noexcept {
    try {
        pLock = EntryLockOf(hSdk);
    } catch (...) {
        pLock.reset();
    }
    return pLock != nullptr && WaitForEvent(*pLock, INFINITE) == WAIT_OBJECT_0;
}

struct OptionBit {
    DWORD dwOption;
    DWORD dwStatus;
    const char* pszName;
};

// In the order they are applied and logged.
constexpr OptionBit OPTION_BITS[] = {
    {OPT_LAN26100_UDP, PM_STATUS_LAN26100_UDP, "OPT_LAN26100_UDP"},
    {OPT_UNSUPPORT_COM_DSR, PM_STATUS_UNSUPPORT_COM_DSR, "OPT_UNSUPPORT_COM_DSR"},
    {OPT_TCP_CON_WITHOUT_OPEN, PM_STATUS_TCP_CON_WITHOUT_OPEN, "OPT_TCP_CON_WITHOUT_OPEN"},
    {PP_COM_DIS_DOSDEVNAME, PM_STATUS_COM_DIS_DOSDEVNAME, "PP_COM_DIS_DOSDEVNAME"},
    {OPT_NOT_SUPPORT_REAL_RESET_CMD, PM_STATUS_NOT_SUPPORT_REAL_RESET_CMD, "OPT_NOT_SUPPORT_REAL_RESET_CMD"},
    {OPT_LAN_READ26100_WITHOUT9100, PM_STATUS_LAN_READ26100_WITHOUT9100, "OPT_LAN_READ26100_WITHOUT9100"},
    {OPT_BT_SLEEP_BEFORE_SHUT, PM_STATUS_BT_SLEEP_BEFORE_SHUT, "OPT_BT_SLEEP_BEFORE_SHUT"},
};

void ApplyOptions(CCommon& port, DWORD dwOption) noexcept {
    for (const OptionBit& bit : OPTION_BITS) {
        if ((dwOption & bit.dwOption) == 0) continue;
        port.SetStatusBits(bit.dwStatus);
        PORT_LOG(LOG_DEBUG, "[srv:%s] pfnOpenPort %s [dwPmStatus:%08x]", port.PortName(), bit.pszName, port.Status());
    }
}

// Makes the entry: its lock, the driver's Init, the options, then the link at the head of
// the list. The name is checked again under the table's mutex, so two opens of one name
// racing each other cannot both win. 0 with the last error on failure; on success
// *pdwStatus is the status word as published.
HSDK CreateEntry(std::unique_ptr<CCommon>& pPort, DWORD dwOption, DWORD* pdwStatus) noexcept {
    const char* pszName = pPort->PortName();
    std::shared_ptr<Event> pLock;
    try {
        pLock = std::make_shared<Event>(false, false);
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (pLock == nullptr || !pLock->Valid()) {
        PORT_LOG(LOG_ERROR, "[srv:%s] CreateEntry CreateEvent()", pszName);
        return 0;
    }
    if (!pPort->Init()) {
        PORT_LOG(LOG_ERROR, "[srv:%s] CreateEntry Init", pszName);
        return 0;
    }
    PORT_LOG(LOG_DEBUG, "[srv:%s] CreateEntry", pszName);
    ApplyOptions(*pPort, dwOption);
    // Once linked, the driver belongs to the table and may be closed by anyone.
    *pdwStatus = pPort->Status();
    HSDK hSdk = 0;
    {
        std::lock_guard lock(g_tableMutex);
        if (NameTakenLocked(pszName)) {
            SetLastError(ERROR_ALREADY_EXISTS);
        } else {
            hSdk = ++g_hLast;
            pPort->hSdk = hSdk;
            pPort->pEntryLock = pLock;
            pPort->pNext = g_pHead;
            g_pHead = pPort.release();
        }
    }
    if (hSdk == 0) {
        PORT_LOG(LOG_WARNING, "[srv:%s] pfnOpenPort FindEntryName() ALREADY_EXISTS", pszName);
        return 0;
    }
    pLock->Set();
    return hSdk;
}

// Makes a driver usable for one service call: counted, so a close waits for the call.
CCommon* LockEntry(HSDK hSdk) noexcept {
    std::shared_ptr<Event> pLock;
    if (!WaitEntryLock(hSdk, pLock)) {
        SetLastError(ERROR_INVALID_HANDLE);
        PORT_LOG(LOG_ERROR, "[srv] LockEntry WaitForSingleObject()");
        return nullptr;
    }
    CCommon* pPort = FindEntry(hSdk);
    if (pPort != nullptr && pPort->Init()) {
        pPort->IncUseCounter();
        pLock->Set();
        return pPort;
    }
    pLock->Set();
    return nullptr;
}

void UnlockEntry(CCommon* pPort) noexcept {
    LastErrorGuard keep;
    pPort->DecUseCounter();
}

BOOL FreeEntry(HSDK hSdk, BOOL bCloseFlag) noexcept {
    std::shared_ptr<Event> pLock;
    if (!WaitEntryLock(hSdk, pLock)) {
        SetLastError(ERROR_INVALID_HANDLE);
        PORT_LOG(LOG_ERROR, "[srv] FreeEntry WaitForSingleObject()");
        return FALSE;
    }
    std::unique_ptr<CCommon> pPort(UnlinkEntry(hSdk));
    // The handle is dead from here: callers waiting on the entry lock wake and find nothing.
    pLock->Set();
    if (pPort == nullptr) {
        PORT_LOG(LOG_ERROR, "[srv] FreeEntry pPort == NULL");
        return FALSE;
    }
    while (pPort->UseCount() != 0) {
        PORT_LOG(LOG_DEBUG, "[srv] FreeEntry WaitForSingleObject(1000)");
        WaitForEvent(pPort->hEvtUseDec, FREE_WAIT_STEP);
    }
    PORT_LOG(LOG_DEBUG, "[srv] FreeEntry Close() (%s)", pPort->PortName());
    pPort->Close(bCloseFlag);
    PORT_LOG(LOG_DEBUG, "[srv] FreeEntry Term()");
    pPort->Term();
    pPort.reset();
    return TRUE;
}

std::unique_ptr<CCommon> MakeDriver(DWORD dwType, const char* pszName) noexcept {
    if (PortFactory pfnFactory = FactoryOf(dwType)) return pfnFactory(pszName);
    std::unique_ptr<CCommon> pPort(new (std::nothrow) CUnknown(pszName));
    if (pPort != nullptr) PORT_LOG(LOG_ERROR, "[srv:%s] pfnOpenPort [BAD_NAME]", pszName);
    return pPort;
}

// ---- The stages of a write ----

struct WriteCall {
    CCommon& port;
    const char* pszName;
    Deadline budget;
};

// The previous write's leftovers and the printer's unread answers go before new data.
void DrainBeforeWrite(CCommon& port) noexcept {
    if (port.bReadDone) return;
    BYTE scratch[DRAIN_BUFFER_SIZE];
    DWORD cbRead = 0;
    port.bDrainRead = TRUE;
    port.Read(scratch, sizeof scratch, &cbRead, 0);
    port.bDrainRead = FALSE;
    PORT_LOG(LOG_TRACE, "[srv:%s] WritePortEx() Read() [for clr buf:%dbyte]", port.PortName(), static_cast<int>(cbRead));
}

// Steps under the send lock. Returns the outcome code; *pcbWritten gets the count.
DWORD WriteUnderSendLock(WriteCall& call, const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten) noexcept {
    CCommon& port = call.port;
    PORT_LOG(LOG_INFO, "[srv:%s] pfnWritePortEx Open()", call.pszName);
    if (!port.Open()) return GetLastError();
    DrainBeforeWrite(port);
    if (call.budget.Expired()) {
        SetLastError(ERROR_TIMEOUT);
        PORT_LOG(LOG_ERROR, "[srv:%s] WritePortEx() [TIMEOUT]  [dwTimeout:%dms < Pass:%dms]", call.pszName,
                 static_cast<int>(call.budget.Timeout()), static_cast<int>(call.budget.Elapsed()));
        return ERROR_TIMEOUT;
    }
    DWORD dwRemain = call.budget.Remaining();
    PORT_LOG(LOG_INFO, "[srv:%s] pfnWritePortEx WaitForLastTrdSending(%dms)", call.pszName, static_cast<int>(dwRemain));
    if (!port.WaitForLastTrdSending(&dwRemain, FALSE)) return ERROR_TIMEOUT;
    PORT_LOG(LOG_INFO, "[srv:%s] pfnWritePortEx Write()", call.pszName);
    if (!port.Write(pBuffer, cbBuffer, pcbWritten, call.budget.Remaining())) return GetLastError();
    return ERROR_SUCCESS;
}

// Everything between the entry lock and the final report. Returns the outcome code.
DWORD WriteStages(WriteCall& call, const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten) noexcept {
    CCommon& port = call.port;
    if (port.bSoftReset) {
        SetLastError(ERROR_BUSY);
        PORT_LOG(LOG_WARNING, "[srv:%s] WritePortEx [Waiting for soft-reset]", call.pszName);
        return ERROR_BUSY;
    }
    if (call.budget.Expired()) {
        SetLastError(ERROR_TIMEOUT);
        PORT_LOG(LOG_ERROR, "[srv:%s] WritePortEx [TIMEOUT:%dms < %dms]", call.pszName,
                 static_cast<int>(call.budget.Timeout()), static_cast<int>(call.budget.Elapsed()));
        return ERROR_TIMEOUT;
    }
    if (port.bCancelling) {
        SetLastError(ERROR_CANCELLED);
        PORT_LOG(LOG_WARNING, "[srv:%s] WritePortEx [CANCEL]", call.pszName);
        return ERROR_CANCELLED;
    }
    DWORD dwRemain = call.budget.Remaining();
    PORT_LOG(LOG_INFO, "[srv:%s] pfnWritePortEx WaitForLastSending(%dms)", call.pszName, static_cast<int>(dwRemain));
    if (!port.WaitForLastSending(&dwRemain, FALSE)) return ERROR_TIMEOUT;
    DWORD dwOutcome = WriteUnderSendLock(call, pBuffer, cbBuffer, pcbWritten);
    port.ReleaseSending();
    return dwOutcome;
}

DWORD WriteTimeoutOf(CCommon& port, DWORD dwTimeout) noexcept {
    if (dwTimeout != 0) return dwTimeout;
    if (port.dwDefWriteTimeout == 0) port.dwDefWriteTimeout = DEFAULT_WRITE_TIMEOUT;
    return port.dwDefWriteTimeout;
}

// ---- Reset and cancel under the control lock ----

// Both locks and the ended thread are needed before the printer is reset.
BOOL ResetUnderCtrlLock(CCommon& port) noexcept {
    const char* pszName = port.PortName();
    PORT_LOG(LOG_INFO, "[srv:%s] pfnResetPort Open()", pszName);
    if (!port.Open()) return FALSE;
    port.AbortSend();
    PORT_LOG(LOG_INFO, "[srv:%s] pfnResetPort Cancel()", pszName);
    if (!port.Cancel()) return FALSE;
    DWORD dwBudget = CONTROL_BUDGET;
    PORT_LOG(LOG_INFO, "[srv:%s] pfnResetPort WaitForLastSending(%dms)", pszName, static_cast<int>(dwBudget));
    if (!port.WaitForLastSending(&dwBudget, TRUE)) return FALSE;
    PORT_LOG(LOG_INFO, "[srv:%s] pfnResetPort WaitForLastTrdSending(%dms)", pszName, static_cast<int>(dwBudget));
    BOOL bResult = port.WaitForLastTrdSending(&dwBudget, TRUE);
    if (bResult) {
        PORT_LOG(LOG_INFO, "[srv:%s] pfnResetPort Reset()", pszName);
        bResult = port.Reset();
        if (bResult) {
            if (!port.HasStatus(PM_STATUS_VIRTUAL_COM)) port.SetStatusBits(PM_STATUS_OFFLINE);
            port.bReadDone = FALSE;
        }
    }
    LastErrorGuard keep;
    port.ReleaseSending();
    return bResult;
}

// The cancel's wait for the write in progress; the result is that of the waits.
BOOL CancelWaitForWriter(CCommon& port) noexcept {
    const char* pszName = port.PortName();
    DWORD dwBudget = CONTROL_BUDGET;
    PORT_LOG(LOG_INFO, "[srv:%s] pfnCancelPort WaitForLastSending(%dms)", pszName, static_cast<int>(dwBudget));
    if (!port.WaitForLastSending(&dwBudget, TRUE)) return FALSE;
    PORT_LOG(LOG_INFO, "[srv:%s] pfnCancelPort WaitForLastTrdSending(%dms)", pszName, static_cast<int>(dwBudget));
    BOOL bResult = port.WaitForLastTrdSending(&dwBudget, TRUE);
    LastErrorGuard keep;
    port.ReleaseSending();
    Sleep(CANCEL_SETTLE_PAUSE);
    return bResult;
}

}  // namespace

void RegisterPortKind(DWORD dwType, PortFactory pfnFactory) noexcept {
    std::lock_guard lock(g_kindsMutex);
    try {
        if (pfnFactory != nullptr) {
            Kinds()[dwType] = pfnFactory;
        } else {
            Kinds().erase(dwType);
        }
    } catch (...) {
        // Out of memory: the kind stays as it was.
    }
}

// ---- Service operations ----

BOOL pfnOpenPort(DWORD dwOption, DWORD dwType, const char* pszName, HSDK* phSdk) noexcept {
    if (phSdk == nullptr || pszName == nullptr || pszName[0] == '\0') {
        SetLastError(ERROR_INVALID_PARAMETER);
        PORT_LOG(LOG_ERROR, "[srv] pfnOpenPort [BAD_PARAM(phSdk:%08x,pszName:%08x)]", Ptr32(phSdk), Ptr32(pszName));
        return FALSE;
    }
    *phSdk = 0;
    if (FindEntryName(pszName)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        PORT_LOG(LOG_WARNING, "[srv:%s] pfnOpenPort FindEntryName() ALREADY_EXISTS", pszName);
        return FALSE;
    }
    std::unique_ptr<CCommon> pPort = MakeDriver(dwType, pszName);
    if (pPort == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    PORT_LOG(LOG_TRACE, "[srv:%s] pfnOpenPort CreateEntry()", pszName);
    DWORD dwStatus = 0;
    *phSdk = CreateEntry(pPort, dwOption, &dwStatus);
    if (*phSdk == 0) return FALSE;
    PORT_LOG(LOG_INFO, "[srv:%s] pfnOpenPort [Option:%08x,Status:%08x]", pszName, dwOption, dwStatus);
    return TRUE;
}

BOOL pfnClosePort(HSDK hSdk, DWORD dwOption) noexcept {
    if (CCommon* pPort = LockEntry(hSdk)) {
        PORT_LOG(LOG_INFO, "[srv:%s] pfnClosePort", pPort->PortName());
        UnlockEntry(pPort);
    }
    if (!FreeEntry(hSdk, (dwOption & CLOSE_OPT_FLAG) != 0 ? TRUE : FALSE)) {
        PORT_LOG(LOG_ERROR, "[srv] pfnClosePort");
        return FALSE;
    }
    return TRUE;
}

BOOL pfnWritePortEx(HSDK hSdk, const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) noexcept {
    const DWORD dwStart = GetTickCount();
    if (pcbWritten != nullptr) *pcbWritten = 0;
    if (pBuffer == nullptr || cbBuffer == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        PORT_LOG(LOG_ERROR, "[srv] pfnWritePortEx [PARAMETER: pBuffer:%08x / cbBuffer:%d]", Ptr32(pBuffer),
                 static_cast<int>(cbBuffer));
        return FALSE;
    }
    PORT_LOG(LOG_DEBUG, "[srv] pfnWritePortEx LockEntry()");
    CCommon* pPort = LockEntry(hSdk);
    if (pPort == nullptr) {
        PORT_LOG(LOG_ERROR, "[srv] WritePortEx LockEntry()");
        return FALSE;
    }
    WriteCall call{*pPort, pPort->PortName(), Deadline(dwStart, WriteTimeoutOf(*pPort, dwTimeout))};
    DWORD cbWritten = 0;
    const DWORD dwOutcome = WriteStages(call, pBuffer, cbBuffer, &cbWritten);
    PORT_LOG(LOG_DEBUG, "[srv:%s] pfnWritePortEx UnlockEntry()", call.pszName);
    BOOL bResult = dwOutcome == ERROR_SUCCESS;
    if (pcbWritten != nullptr) {
        SetLastError(dwOutcome);
        *pcbWritten = cbWritten;
        if (bResult) {
            PORT_LOG(LOG_INFO, "[srv:%s] pfnWritePortEx [%d/%d]", call.pszName, static_cast<int>(cbWritten),
                     static_cast<int>(cbBuffer));
        } else {
            PORT_LOG(LOG_ERROR, "[srv:%s] pfnWritePortEx", call.pszName);
        }
    } else if (!bResult) {
        SetLastError(dwOutcome);
    } else if (cbWritten < cbBuffer) {
        SetLastError(ERROR_TIMEOUT);
        PORT_LOG(LOG_WARNING, "[srv:%s] pfnWritePortEx [TIMEOUT:%d/%dbyte]", call.pszName, static_cast<int>(cbWritten),
                 static_cast<int>(cbBuffer));
        bResult = FALSE;
    } else {
        SetLastError(ERROR_SUCCESS);
        PORT_LOG(LOG_INFO, "[srv:%s] pfnWritePortEx [%d/%dbyte]", call.pszName, static_cast<int>(cbWritten),
                 static_cast<int>(cbBuffer));
    }
    UnlockEntry(pPort);
    return bResult;
}

BOOL pfnReadPort(HSDK hSdk, BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead) noexcept {
    return pfnReadPortEx(hSdk, pBuffer, cbBuffer, pcbRead, 0);
}

namespace {

// Open and read under the control lock; a failed read closes the device so that the next
// call opens it afresh.
void ReadUnderCtrlLock(CCommon& port, BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD dwTimeout) noexcept {
    const char* pszName = port.PortName();
    PORT_LOG(LOG_DEBUG, "[srv:%s] pfnReadPort Open()", pszName);
    if (!port.Open()) {
        PORT_LOG(LOG_ERROR, "[srv:%s] pfnReadPort Open()", pszName);
        return;
    }
    PORT_LOG(LOG_DEBUG, "[srv:%s] pfnReadPort Read() [timeout:%dms]", pszName, static_cast<int>(dwTimeout));
    if (port.Read(pBuffer, cbBuffer, pcbRead, dwTimeout)) {
        port.bReadDone = TRUE;
        if (*pcbRead > 0) LogDump(LOG_RECEIVED, pszName, pBuffer, *pcbRead);
        return;
    }
    PORT_LOG(LOG_INFO, "[srv:%s] pfnReadPort Close()", pszName);
    port.Close(FALSE);
}

}  // namespace

BOOL pfnReadPortEx(HSDK hSdk, BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD dwTimeout) noexcept {
    if (pBuffer == nullptr || cbBuffer == 0 || pcbRead == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        PORT_LOG(LOG_ERROR, "[srv] pfnReadPort [PARAMETER:pBuffer:%08x/cbBuffer:%08x/pcbRead:%08x]", Ptr32(pBuffer),
                 cbBuffer, Ptr32(pcbRead));
        return FALSE;
    }
    *pcbRead = 0;
    std::memset(pBuffer, 0, cbBuffer);
    CCommon* pPort = LockEntry(hSdk);
    if (pPort == nullptr) {
        PORT_LOG(LOG_ERROR, "[srv] pfnReadPort LockEntry()");
        return FALSE;
    }
    const char* pszName = pPort->PortName();
    PORT_LOG(LOG_DEBUG, "[srv:%s] pfnReadPort WaitForCtrlFunc()", pszName);
    if (pPort->WaitForCtrlFunc()) {
        ReadUnderCtrlLock(*pPort, pBuffer, cbBuffer, pcbRead, dwTimeout);
        pPort->ReleaseCtrlFunc();
    } else {
        PORT_LOG(LOG_ERROR, "[srv:%s] pfnReadPort WaitForCtrlFunc()", pszName);
    }
    // Taken before the use ends: after it, a close may already have destroyed the driver.
    const bool bOffline = pPort->HasStatus(PM_STATUS_OFFLINE);
    UnlockEntry(pPort);
    if (bOffline) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    return TRUE;
}

BOOL pfnResetPort(HSDK hSdk) noexcept {
    PORT_LOG(LOG_DEBUG, "[srv] pfnResetPort LockEntry()");
    CCommon* pPort = LockEntry(hSdk);
    if (pPort == nullptr) return FALSE;
    const char* pszName = pPort->PortName();
    BOOL bResult = FALSE;
    PORT_LOG(LOG_INFO, "[srv:%s] pfnResetPort WaitForCtrlFunc()", pszName);
    if (pPort->WaitForCtrlFunc()) {
        bResult = ResetUnderCtrlLock(*pPort);
        LastErrorGuard keep;
        pPort->ReleaseCtrlFunc();
    }
    PORT_LOG(LOG_DEBUG, "[srv:%s] pfnResetPort UnlockEntry()", pszName);
    UnlockEntry(pPort);
    return bResult;
}

Event& PortAbortEvent() noexcept {
    static Event abort(true, false);
    return abort;
}

BOOL pfnCancelPort(HSDK hSdk) noexcept {
    PORT_LOG(LOG_DEBUG, "[srv] pfnCancelPort LockEntry()");
    CCommon* pPort = LockEntry(hSdk);
    if (pPort == nullptr) return FALSE;
    const char* pszName = pPort->PortName();
    BOOL bResult = FALSE;
    PORT_LOG(LOG_INFO, "[srv:%s] pfnCancelPort WaitForCtrlFunc()", pszName);
    if (pPort->WaitForCtrlFunc()) {
        {
            std::lock_guard lock(pPort->csLock);
            pPort->bCancelling = TRUE;
            pPort->bAbortSend = TRUE;
        }
        pPort->hEvtCancel.Set();
        PORT_LOG(LOG_INFO, "[srv:%s] pfnCancelPort Cancel()", pszName);
        bResult = pPort->Cancel();
        {
            LastErrorGuard keep;
            pPort->ReleaseCtrlFunc();
        }
        if (bResult && !pPort->bSoftReset) bResult = CancelWaitForWriter(*pPort);
        pPort->bCancelling = FALSE;
    }
    pPort->hEvtCancel.Reset();
    PORT_LOG(LOG_DEBUG, "[srv:%s] pfnCancelPort UnlockEntry()", pszName);
    UnlockEntry(pPort);
    return bResult;
}

// ---- String helpers ----

char* AllocSplStr(const char* psz) noexcept {
    if (psz == nullptr || psz[0] == '\0') return nullptr;
    const std::size_t cb = std::strlen(psz) + 1;
    char* pszCopy = new (std::nothrow) char[cb];
    if (pszCopy != nullptr) std::memcpy(pszCopy, psz, cb);
    return pszCopy;
}

void FreeSplStr(char* psz) noexcept { delete[] psz; }

DWORD JoinStrings(char* pszBuffer, DWORD cchBuffer, const char* const* ppszList) noexcept {
    if (pszBuffer == nullptr || cchBuffer == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return ERROR_INVALID_PARAMETER;
    }
    std::size_t cchUsed = 0;
    for (const char* const* pp = ppszList; pp != nullptr && *pp != nullptr; ++pp) {
        const std::size_t cch = std::strlen(*pp);
        if (cchUsed + cch + 1 > cchBuffer) {
            pszBuffer[0] = '\0';
            SetLastError(ERROR_BUFFER_OVERFLOW);
            return ERROR_BUFFER_OVERFLOW;
        }
        std::memcpy(pszBuffer + cchUsed, *pp, cch);
        cchUsed += cch;
    }
    pszBuffer[cchUsed] = '\0';
    return ERROR_SUCCESS;
}
