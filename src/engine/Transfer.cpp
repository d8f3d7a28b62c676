// Firmware and data transfer in blocks, the wait for the printer's restart, the check of
// the new ROM ID and version text, and the progress text shown meanwhile.
#include <algorithm>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "config/ConfigFile.h"
#include "port/UsbIdentity.h"
#include "engine/RunRules.h"
#include "engine/Steps.h"
#include "engine/Thread.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/ComConf.h"
#include "ui/Launch.h"
#include "ui/StringTable.h"
#include "ui/Util.h"

namespace {

constexpr DWORD BLOCK_SIZE = 4096;
constexpr DWORD BLOCK_WRITE_TIMEOUT = 1000;
constexpr DWORD FIRMWARE_STALL_LIMIT = 10000;
constexpr DWORD DATA_STALL_LIMIT = 90000;
constexpr DWORD PAUSE_SLICE = 1000;
constexpr DWORD REWRITE_EXTRA = 12000;
constexpr DWORD SERIAL_REOPEN_LIMIT = 15000;
constexpr DWORD USB_PROBE_WINDOW = 10000;
constexpr DWORD LAN_FIRST_PAUSE = 1500;
constexpr DWORD LAN_RECONNECT_PAUSE = 100000;
constexpr DWORD POST_UPDATE_TIMEOUT = 15000;
constexpr std::size_t PROGRESS_TEXT_MAX = 128;
constexpr std::size_t FW_VERSION_MAX = 31;
// What a reconnect after a restart may add to the fixed pauses (one connect step).
constexpr DWORD RECONNECT_ALLOWANCE = 5000;

struct ProgressState {
    IDialogHost* pDialog = nullptr;
    const char* pszFormat = nullptr;
    DWORD dwStart = 0;
    DWORD dwSpan = 0;
    DWORD dwBase = 0;
    DWORD dwTop = 100;
    long nLast = -1;
};
ProgressState g_progress;

std::mutex g_versionLock;  // the front end reads the text while no run writes it
std::string g_szFwVersion;
std::vector<BYTE> g_romIdAnswer;  // guarded by g_versionLock as well
int g_nDeviceId = -1;               // guarded by g_versionLock as well

// The uncancellable wait in progress, read by the front end's thread.
struct PendingWait {
    const char* pszWhat = nullptr;
    Deadline until{0};
};
std::mutex g_pendingLock;
PendingWait g_pending;

std::mutex g_transferLock;  // the front end reads the transfer under way from any thread
TransferInfo g_transfer;

std::optional<PendingWait> PendingNow() {
    std::lock_guard lock(g_pendingLock);
    if (g_pending.pszWhat == nullptr) return std::nullopt;
    return g_pending;
}

bool Cancelled() { return theApp.TestFlags(UF_CANCEL); }

const ModelEntry& ModelRow() {
    int nTypeId = theApp.nTypeId;
    if (nTypeId < 0 || static_cast<std::size_t>(nTypeId) >= MODEL_TABLE_SIZE) nTypeId = 0;
    return ModelTable[nTypeId];
}

const UpdateDataEntry& FirmwareEntry() {
    int nTypeId = theApp.nTypeId;
    if (nTypeId < 0 || static_cast<std::size_t>(nTypeId) >= UPDATE_TABLE_SIZE) nTypeId = 0;
    return theApp.tables.FW[nTypeId];
}

void ClosePort(HSDK* phSdk, DWORD dwOption) {
    if (*phSdk != 0) pfnClosePort(*phSdk, dwOption);
    *phSdk = 0;
}

// The version text of an answer: the printable bytes up to the terminating zero.
std::string VersionText(const BYTE* pAnswer, DWORD cbAnswer) {
    std::size_t n = strnlen(reinterpret_cast<const char*>(pAnswer), cbAnswer);
    return std::string(reinterpret_cast<const char*>(pAnswer), std::min(n, FW_VERSION_MAX));
}

// Pauses dwPause ms after the special first block in slices, ending early on cancel.
void PauseAfterFirstBlock(DWORD dwPause, DWORD dwWeight, DWORD cbTotal, DWORD cbRemaining) {
    Deadline pause(dwPause);
    while (!pause.Expired() && !theApp.TestFlags(UF_CANCEL)) {
        Sleep(std::min(PAUSE_SLICE, pause.Remaining()));
        DWORD dwElapsed = std::min(pause.Elapsed(), dwPause);
        unsigned long long done = static_cast<unsigned long long>(dwWeight) * dwElapsed / dwPause + cbTotal - cbRemaining;
        ShowProgress(static_cast<DWORD>(done * 100 / (static_cast<unsigned long long>(cbTotal) + dwWeight)));
    }
}

// The tty name of a serial port name ("ttyACM0:", "/dev/ttyACM0").
constexpr DWORD SERIAL_FIND_PAUSE = 100;

static std::string TtyNameOfPort(const std::string& portName) {
    std::string name = portName;
    if (!name.empty() && name.back() == ':') name.pop_back();
    if (name.starts_with("/dev/")) name.erase(0, 5);
    return name;
}

// A serial port is closed for the restart (before the printer restarts: cdc-acm keeps a
// tty's number while it is held, so a printer restarting under a held port comes back
// under another name) and opened again within 15000 ms. A printer on USB is looked for
// by where it sits on the bus when its name has changed. Only the wait after a transfer
// sits out a cancel.
DWORD WaitSerialRestart(IDialogHost* pDialog, std::string* pPortName, HSDK* phSdk, BOOL bAfterTransfer, DWORD dwExtra) {
    const bool bCancellable = !bAfterTransfer;
    SetupProgress(pDialog, PROGRESS_WAITING, dwExtra + 18000, 0, 50);
    const UsbIdentity own = ReadTtyUsbIdentity(TtyNameOfPort(*pPortName));
    ClosePort(phSdk, 0);
    if (!PauseWithProgress(dwExtra + 1500, bCancellable)) return ERROR_CANCELLED;
    if (!PauseWithProgress(1500, bCancellable)) return ERROR_CANCELLED;
    if (bAfterTransfer) RunComConfigStep(&ResetComConfig);
    Deadline reopen(SERIAL_REOPEN_LIMIT);
    for (;;) {
        if (bCancellable && Cancelled()) return ERROR_CANCELLED;
        ShowTimeProgress();
        // Opening a name does not tell whether the printer is there: on USB its tty
        // shows first, under whatever number it got.
        const std::string now = FindTtyOfUsbIdentity(own);
        if (own.Known() && now.empty() && !reopen.Expired()) {
            Sleep(SERIAL_FIND_PAUSE);
            continue;
        }
        if (!now.empty() && now != TtyNameOfPort(*pPortName) && now.size() < RUN_PORT_NAME_MAX) {
            *pPortName = pPortName->ends_with(':') ? now + ":" : now;
        }
        DWORD dwResult = ReopenPort(phSdk, theApp.nPortKind, *pPortName);
        bool bLate = reopen.Expired();
        if (dwResult == ERROR_SUCCESS) {
            Sleep(1000);
            return ERROR_SUCCESS;
        }
        if (bLate) {
            if (pDialog != nullptr) ReportTransferError(dwResult, LOC_RESTART_SERIAL);
            return dwResult;
        }
        Sleep(1000);
    }
}

// One USB probe pass: TRUE when the printer answered within the window. A cancel ends
// a cancellable pass early, without an answer.
bool ProbeUsbPass(const std::string& portName, HSDK* phSdk, DWORD dwWindow, bool* pbSlowSignSeen, bool bCancellable) {
    Deadline pass(dwWindow);
    const PrinterCommand& romId = CurrentCommandSet().romId;
    do {
        if (bCancellable && Cancelled()) return false;
        ShowTimeProgress();
        ClosePort(phSdk, 0);
        WaitWithProgress(200);
        if (!pfnOpenPort(EngineOpenOptions(), PORT_KIND_USB, portName.c_str(), phSdk)) *phSdk = 0;
        pfnWritePortEx(*phSdk, romId.bytes.data(), static_cast<DWORD>(romId.bytes.size()), nullptr, 0);
        BYTE reply[64] = {};
        DWORD cbRead = 0;
        if (!pfnReadPort(*phSdk, reply, sizeof reply, &cbRead)) cbRead = 0;
        for (DWORD i = 0; i < cbRead; ++i) {
            if (reply[i] == 0x0E) return true;
        }
        for (DWORD i = 0; i < cbRead; ++i) {
            if (reply[i] == 0x4B || reply[i] == 0xB0) {
                if (!*pbSlowSignSeen) Sleep(2000);
                *pbSlowSignSeen = true;
                return true;
            }
        }
    } while (!pass.Expired());
    return false;
}

DWORD WaitUsbRestart(IDialogHost* pDialog, std::string* pPortName, HSDK* phSdk, BOOL bAfterTransfer, DWORD dwExtra) {
    const bool bCancellable = !bAfterTransfer;
    DWORD dwWindow = dwExtra + USB_PROBE_WINDOW;
    SetupProgress(pDialog, PROGRESS_WAITING, 2 * dwWindow, 0, 50);
    bool bSlowSignSeen = false;
    bool bAnswered = ProbeUsbPass(*pPortName, phSdk, dwWindow, &bSlowSignSeen, bCancellable);
    if (bCancellable && Cancelled()) return ERROR_CANCELLED;
    if (FindUsbPortAgain(GetUsbDiscovery(), pPortName) == 1) {
        ClosePort(phSdk, 0);
        if (!pfnOpenPort(EngineOpenOptions(), PORT_KIND_USB, pPortName->c_str(), phSdk)) *phSdk = 0;
        if (!bAnswered) ProbeUsbPass(*pPortName, phSdk, dwWindow, &bSlowSignSeen, bCancellable);
        if (bCancellable && Cancelled()) return ERROR_CANCELLED;
    }
    for (int i = 0; i < 20; ++i) {
        BYTE reply[64];
        DWORD cbRead = 0;
        if (!pfnReadPort(*phSdk, reply, sizeof reply, &cbRead) || cbRead == 0) break;
        Sleep(50);
    }
    return ERROR_SUCCESS;
}

DWORD WaitNetworkRestart(IDialogHost* pDialog, std::string* pPortName, HSDK* phSdk, BOOL bAfterTransfer, DWORD dwExtra) {
    bool bLan = theApp.nPortKind == static_cast<int>(PORT_KIND_LAN);
    DWORD dwFirst = dwExtra + LAN_FIRST_PAUSE;
    DWORD dwSecond = bLan && pDialog != nullptr && !bAfterTransfer ? LAN_RECONNECT_PAUSE : 0;
    const bool bCancellable = !bAfterTransfer;
    SetupProgress(pDialog, PROGRESS_WAITING, dwFirst + dwSecond, 0, 50);
    ShowProgress(0);
    ClosePort(phSdk, CLOSE_OPT_FLAG);
    if (!PauseWithProgress(dwFirst, bCancellable)) return ERROR_CANCELLED;
    if (bLan) {
        DWORD dwOptions = ModelRow().dwOptions;
        if (dwOptions & OPT_ETHERNET_OR_WIRELESS_LAN) {
            ShowMessage(MB_ICONWARNING, 0, "%s", LoadResString(IDS_RECONNECT_WIRELESS_OR_ETHERNET).c_str());
        } else if (dwOptions & OPT_WIRELESS_LAN) {
            ShowMessage(MB_ICONWARNING, 0, "%s", LoadResString(IDS_RECONNECT_WIRELESS).c_str());
        }
    }
    if (!PauseWithProgress(dwSecond, bCancellable)) return ERROR_CANCELLED;
    return ReopenPort(phSdk, theApp.nPortKind, *pPortName);
}

// The longest a restart wait after a transfer can take on this connection kind.
DWORD RestartWaitLimit(DWORD dwExtra) {
    DWORD dwLimit = 0;
    switch (theApp.nPortKind) {
        case static_cast<int>(PORT_KIND_SERIAL): dwLimit = dwExtra + 3000 + SERIAL_REOPEN_LIMIT + 1000; break;
        case static_cast<int>(PORT_KIND_USB): dwLimit = 2 * (dwExtra + USB_PROBE_WINDOW) + RECONNECT_ALLOWANCE; break;
        default: dwLimit = dwExtra + LAN_FIRST_PAUSE + RECONNECT_ALLOWANCE; break;
    }
    if (theApp.TestFlags(UF_EXT_COMMANDS)) dwLimit += POST_UPDATE_TIMEOUT + 1500 + RECONNECT_ALLOWANCE;
    return dwLimit;
}

// The extended set takes CMD_POST_UPDATE once the new firmware runs, then a reconnect.
DWORD SendPostUpdate(std::string* pPortName, HSDK* phSdk) {
    SetLastError(ERROR_SUCCESS);
    if (!pfnWritePortEx(*phSdk, CMD_POST_UPDATE.bytes.data(), static_cast<DWORD>(CMD_POST_UPDATE.bytes.size()), nullptr,
                        POST_UPDATE_TIMEOUT)) {
        DWORD dwError = PortError();
        ReportTransferError(dwError, LOC_POST_UPDATE_WRITE);
        return dwError;
    }
    ClosePort(phSdk, 0);
    Sleep(1500);
    DWORD dwResult = ReopenPort(phSdk, theApp.nPortKind, *pPortName);
    if (dwResult != ERROR_SUCCESS) ReportTransferError(dwResult, LOC_POST_UPDATE_REOPEN);
    return dwResult;
}

}  // namespace

std::string FwVersionText() {
    std::lock_guard lock(g_versionLock);
    return g_szFwVersion;
}

void SetFwVersionText(const std::string& text) {
    std::lock_guard lock(g_versionLock);
    g_szFwVersion = text.substr(0, FW_VERSION_MAX);
}

std::vector<BYTE> TakeRomIdAnswer() {
    std::lock_guard lock(g_versionLock);
    return std::exchange(g_romIdAnswer, {});
}

int PrinterDeviceId() {
    std::lock_guard lock(g_versionLock);
    return g_nDeviceId;
}

void SetPrinterDeviceId(int nDeviceId) {
    std::lock_guard lock(g_versionLock);
    g_nDeviceId = nDeviceId;
}

void SetRomIdAnswer(const BYTE* pAnswer, DWORD cbAnswer) {
    std::lock_guard lock(g_versionLock);
    g_romIdAnswer.assign(pAnswer, pAnswer + cbAnswer);
}

void SetupProgress(IDialogHost* pDialog, const char* pszFormat, DWORD dwSpan, DWORD dwBase, DWORD dwTop) noexcept {
    g_progress = ProgressState{pDialog, pszFormat, GetTickCount(), dwSpan, dwBase, dwTop, -1};
}

void ShowProgress(DWORD dwPercent) noexcept {
    if (g_progress.pDialog == nullptr || g_progress.pszFormat == nullptr) return;
    dwPercent = std::min(dwPercent, g_progress.dwTop);
    if (static_cast<long>(dwPercent) == g_progress.nLast) return;
    std::string text = StrPrintf(g_progress.pszFormat, static_cast<int>(dwPercent));
    g_progress.pDialog->SetControlText(IDC_PROGRESS_TEXT, std::string(Utf8Prefix(text, PROGRESS_TEXT_MAX)));
    g_progress.nLast = static_cast<long>(dwPercent);
}

void ShowTimeProgress() noexcept {
    const ProgressState& p = g_progress;
    if (p.dwSpan == 0) {
        ShowProgress(p.dwBase);
        return;
    }
    unsigned long long elapsed = GetTickCount() - p.dwStart;
    ShowProgress(static_cast<DWORD>(p.dwBase + elapsed * (p.dwTop - p.dwBase) / p.dwSpan));
}

void WaitWithProgress(DWORD dwMilliseconds) noexcept { PauseWithProgress(dwMilliseconds, false); }

BOOL PauseWithProgress(DWORD dwMilliseconds, bool bCancellable) noexcept {
    Deadline wait(dwMilliseconds);
    for (;;) {
        ShowTimeProgress();
        if (wait.Elapsed() > dwMilliseconds) return TRUE;
        if (bCancellable && Cancelled()) return FALSE;
        Sleep(std::min<DWORD>(50, wait.Remaining() + 1));
    }
}

UncancellableWait::UncancellableWait(const char* pszWhat, DWORD dwLimit) noexcept {
    std::lock_guard lock(g_pendingLock);
    g_pending = PendingWait{pszWhat, Deadline(dwLimit)};
}

UncancellableWait::~UncancellableWait() {
    std::lock_guard lock(g_pendingLock);
    g_pending = PendingWait{};
}

std::string CancelWaitText() {
    const std::optional<PendingWait> pending = PendingNow();
    if (!pending) return {};
    return StrPrintf("waiting up to %u s %s", SecondsUpTo(pending->until.Remaining()), pending->pszWhat);
}

std::optional<DWORD> UncancellableWaitLeft() {
    const std::optional<PendingWait> pending = PendingNow();
    if (!pending) return std::nullopt;
    return pending->until.Remaining();
}

const char* UpdateTableName(const UpdateDataEntry* pEntry) {
    const UpdateTables& t = theApp.tables;
    const std::pair<const UpdateTable*, const char*> tables[] = {
        {&t.FW, "FW"}, {&t.CG, "CG"}, {&t.CF, "CF"}, {&t.EE, "EE"}, {&t.KF, "KF"}, {&t.ZF, "ZF"}, {&t.YF, "YF"},
    };
    for (const auto& [pTable, pszName] : tables) {
        if (pEntry >= pTable->data() && pEntry < pTable->data() + pTable->size()) return pszName;
    }
    return "";
}

TransferInfo TransferOfEntry(const UpdateDataEntry* pEntry, const std::string& table) {
    TransferInfo info;
    info.strTable = table;
    if (pEntry == nullptr) return info;
    info.strFile = pEntry->strFileName;
    info.cbTotal = pEntry->cbData;
    int nKind = std::clamp(theApp.nPortKind, 0, static_cast<int>(PORT_KIND_COUNT) - 1);
    if (pEntry->cbFirstBlock[nKind] != 0 && pEntry->dwFirstBlockWait[nKind] != 0) {
        // As SendData weighs the pause: a tenth of the transfer.
        info.cbPauseWeight = pEntry->cbData / 10;
        info.dwPauseMs = pEntry->dwFirstBlockWait[nKind];
    }
    return info;
}

TransferInfo TransferUnderWay() {
    std::lock_guard lock(g_transferLock);
    return g_transfer;
}

int ReportTransferError(DWORD dwError, DWORD dwLocation) noexcept {
    // A check changes nothing on the printer, so a retry has nothing to repair: it ends
    // with its failure instead of asking.
    if (theApp.TestFlags(UF_CHECK_ONLY)) {
        theApp.ClearFlags(UF_RETRY_REQUESTED);
        return ShowError(dwLocation, dwError, "%s", LoadResString(IDS_FW_UPDATE_FAILED).c_str());
    }
    if (!theApp.TestFlags(UF_RETRY)) {
        int nAnswer = ShowErrorEx(MB_RETRYCANCEL, dwLocation, dwError, IDCANCEL, "%s",
                                  LoadResString(IDS_FW_UPDATE_FAILED).c_str());
        if (nAnswer == IDRETRY) {
            theApp.SetFlags(UF_RETRY_REQUESTED);
        } else {
            theApp.ClearFlags(UF_RETRY_REQUESTED);
        }
        return nAnswer;
    }
    int nAnswer = ShowError(dwLocation, dwError, "%s", MessageText(IDS_FW_UPDATE_FAILED_BOOT_MODE).c_str());
    theApp.SetFlags(UF_RETRY_REQUESTED);
    return nAnswer;
}

DWORD SendFirmware(IDialogHost* pDialog, HSDK hSdk) noexcept {
    DWORD cbTotal = 0;
    return SendData(TRUE, FirmwareEntry(), pDialog, hSdk, &cbTotal);
}

DWORD SendData(BOOL bAfterFirmware, const UpdateDataEntry& entry, IDialogHost* pDialog, HSDK hSdk,
               DWORD* pcbTotal) noexcept {
    const DWORD dwStallLimit = bAfterFirmware ? FIRMWARE_STALL_LIMIT : DATA_STALL_LIMIT;
    const DWORD cbTotal = entry.cbData;
    *pcbTotal = cbTotal;
    const int nKind = std::clamp(theApp.nPortKind, 0, static_cast<int>(PORT_KIND_COUNT) - 1);
    const DWORD cbFirst = entry.cbFirstBlock[nKind];
    const DWORD dwFirstWait = entry.dwFirstBlockWait[nKind];
    const DWORD dwWeight = cbFirst != 0 ? cbTotal / 10 : 0;
    {
        // Before the first progress text, so the front end names the transfer that text begins.
        TransferInfo transfer = TransferOfEntry(&entry, UpdateTableName(&entry));
        std::lock_guard lock(g_transferLock);
        g_transfer = std::move(transfer);
    }
    SetupProgress(pDialog, PROGRESS_SENDING, 0, 0, 100);
    DWORD dwLastProgress = GetTickCount();

    const BYTE* pNext = entry.pData.get();
    DWORD cbRemaining = cbTotal;
    bool bSpecial = cbFirst != 0;
    DWORD dwResult = ERROR_SUCCESS;
    while (cbRemaining != 0) {
        DWORD cbBlock = std::min(bSpecial ? cbFirst : BLOCK_SIZE, cbRemaining);
        DWORD cbWritten = 0;
        SetLastError(ERROR_SUCCESS);
        dwResult = pfnWritePortEx(hSdk, pNext, cbBlock, &cbWritten, BLOCK_WRITE_TIMEOUT) ? ERROR_SUCCESS : PortError();
        // A cancelled transfer is not a finished one, whatever the last write did.
        if (theApp.TestFlags(UF_CANCEL)) return ERROR_CANCELLED;
        if (dwResult != ERROR_SUCCESS && dwResult != ERROR_BUSY && dwResult != ERROR_TIMEOUT) {
            ReportTransferError(dwResult, LOC_SEND_WRITE);
            return dwResult;
        }
        if (bSpecial) {
            if (dwFirstWait != 0) PauseAfterFirstBlock(dwFirstWait, dwWeight, cbTotal, cbRemaining);
            bSpecial = false;
        }
        if (cbWritten != 0) {
            cbWritten = std::min(cbWritten, cbBlock);
            pNext += cbWritten;
            cbRemaining -= cbWritten;
            ShowProgress(TransferPercent(cbTotal - cbRemaining, cbTotal, dwWeight));
            dwLastProgress = GetTickCount();
        }
        if (GetTickCount() - dwLastProgress > dwStallLimit) {
            ReportTransferError(ERROR_SHOWN_TIMEOUT, LOC_SEND_STALLED);
            return ERROR_TIMEOUT;
        }
    }
    return dwResult;
}

DWORD WaitForRestart(IDialogHost* pDialog, std::string* pPortName, HSDK* phSdk, BOOL bAfterTransfer) noexcept {
    const DWORD dwExtra = bAfterTransfer && (ModelRow().dwOptions & OPT_REWRITE_AFTER_SEND) ? REWRITE_EXTRA : 0;
    // After a transfer the printer is storing the image: the run sits the wait out even
    // when cancelled, and tells how long that can take.
    std::optional<UncancellableWait> storing;
    if (bAfterTransfer) storing.emplace("for the printer to restart", RestartWaitLimit(dwExtra));
    if (theApp.nTypeId == 0x21 && (bAfterTransfer || theApp.TestFlags(UF_BOOT_MODE | UF_RETRY))) {
        ShowMessage(MB_ICONWARNING, 0, "%s", LoadResString(IDS_POWER_ON_PROMPT).c_str());
    }
    DWORD dwResult = ERROR_SUCCESS;
    switch (theApp.nPortKind) {
        case static_cast<int>(PORT_KIND_SERIAL):
            dwResult = WaitSerialRestart(pDialog, pPortName, phSdk, bAfterTransfer, dwExtra);
            break;
        case static_cast<int>(PORT_KIND_USB):
            dwResult = WaitUsbRestart(pDialog, pPortName, phSdk, bAfterTransfer, dwExtra);
            break;
        case static_cast<int>(PORT_KIND_BLUETOOTH):
        case static_cast<int>(PORT_KIND_LAN):
            dwResult = WaitNetworkRestart(pDialog, pPortName, phSdk, bAfterTransfer, dwExtra);
            break;
        default: break;
    }
    // The post-update command needs the printer back; a failed reconnect stands as it is.
    if (dwResult == ERROR_SUCCESS && bAfterTransfer && theApp.TestFlags(UF_EXT_COMMANDS)) {
        return SendPostUpdate(pPortName, phSdk);
    }
    return dwResult;
}

DWORD VerifyFirmware(IDialogHost* pDialog, HSDK* phSdk) noexcept {
    const int nKind = theApp.nPortKind;
    Deadline limit(VerifyTimeLimit(nKind));
    SelectCommandSet();
    const CommandSet& set = CurrentCommandSet();
    SetupProgress(pDialog, PROGRESS_WAITING, limit.Timeout(), 50, 100);
    ShowTimeProgress();
    const BYTE bUpdate = FirmwareEntry().bVersion;

    BYTE answer[512];
    DWORD cbAnswer = 0;
    for (;;) {
        DWORD dwResult = ExchangeCommand(set.romId, *phSdk, set.idFormat, answer, sizeof answer, 100, &cbAnswer);
        if (theApp.TestFlags(UF_CANCEL)) {
            ShowProgress(100);
            return ERROR_CANCELLED;
        }
        if (dwResult == ERROR_SUCCESS && cbAnswer > 0) {
            SetRomIdAnswer(answer, cbAnswer);
            if (answer[0] == bUpdate) break;
            LogMessage(LOG_ERROR, 'E', __LINE__, ERROR_INVALID_DATA, "ROM ID [%02X], expected [%02X]", answer[0], bUpdate);
            ReportTransferError(ERROR_SHOWN_INVALID_DATA, LOC_VERIFY_ROM_ID);
            ShowProgress(100);
            return ERROR_INVALID_DATA;
        }
        if (dwResult == ERROR_SUCCESS) dwResult = ERROR_SHOWN_INVALID_DATA;
        if (limit.Expired()) {
            ReportTransferError(dwResult, LOC_VERIFY_NO_ROM_ID);
            ShowProgress(100);
            return dwResult;
        }
        Sleep(200);
        ShowTimeProgress();
    }

    ResponseFormat format = set.versionFormat;
    format.cbExpected = bUpdate >= 0xF0 ? 8 : 7;
    DWORD dwResult = ExchangeCommand(set.fwVersion, *phSdk, format, answer, sizeof answer, 100, &cbAnswer);
    if (dwResult == ERROR_SUCCESS && cbAnswer > 0) {
        SetFwVersionText(VersionText(answer, cbAnswer));
        ShowProgress(100);
        return ERROR_SUCCESS;
    }
    // An empty answer is no version text: never a success.
    if (dwResult == ERROR_SUCCESS) dwResult = ERROR_INVALID_DATA;
    ReportTransferError(dwResult, LOC_VERIFY_NO_VERSION);
    ShowProgress(100);
    return dwResult;
}
