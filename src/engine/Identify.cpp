// Which printer is on the port and whether its firmware must be sent.
#include <cstring>
#include <memory>
#include <new>

#include "config/ConfigFile.h"
#include "engine/RunRules.h"
#include "engine/Steps.h"
#include "log/Log.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/ComConf.h"
#include "ui/StringTable.h"
#include "ui/Util.h"

namespace {

constexpr DWORD ATTEMPT_PAUSE = 500;
constexpr DWORD WAKE_UP_BYTES = 102400;
constexpr DWORD WAKE_UP_TIMEOUT = 5000;
constexpr DWORD ID_ANSWER_SIZE = 32;

DWORD ShowConnectError(DWORD dwLocation, DWORD dwError) {
    return static_cast<DWORD>(ShowError(dwLocation, dwError, "%s", LoadResString(IDS_CONNECT_FAILED).c_str()));
}

bool AnyUpdateFileFor(BYTE bTypeId) {
    const UpdateTables& t = theApp.tables;
    for (const UpdateTable* pTable : {&t.FW, &t.CF, &t.KF, &t.ZF, &t.YF}) {
        if ((*pTable)[bTypeId].bLoaded) return true;
    }
    return false;
}

bool Cancelled() { return theApp.TestFlags(UF_CANCEL); }

// The DEVICE ID attempts. The reset wait of attempt 1 does not count against the limit.
// A cancel ends them before the next attempt, and the reset wait early.
DWORD AskDeviceId(std::string* pPortName, HSDK* phSdk, DWORD dwTimeLimit, BYTE* pAnswer, DWORD* pcbAnswer) {
    const CommandSet& set = CurrentCommandSet();
    const int nKind = theApp.nPortKind;
    const int nTypeId = theApp.nTypeId;
    const DWORD dwDelay = CommandDelay(nKind);
    DWORD dwStart = GetTickCount();
    DWORD dwResult = ERROR_SUCCESS;
    for (int nAttempt = 0;; ++nAttempt) {
        if (Cancelled()) return ERROR_CANCELLED;
        if (nAttempt == 1 && !((nTypeId == 0x1A || nTypeId == 0x1C) && nKind == static_cast<int>(PORT_KIND_SERIAL))) {
            pfnResetPort(*phSdk);
            DWORD dwWaitStart = GetTickCount();
            WaitForRestart(nullptr, pPortName, phSdk, FALSE);
            dwStart += GetTickCount() - dwWaitStart;
            if (Cancelled()) return ERROR_CANCELLED;
        }
        if (nAttempt == 2 && nKind == static_cast<int>(PORT_KIND_LAN)) {
            std::unique_ptr<BYTE[]> pZeros(new (std::nothrow) BYTE[WAKE_UP_BYTES]());
            if (!pZeros) break;
            pfnWritePortEx(*phSdk, pZeros.get(), WAKE_UP_BYTES, nullptr, WAKE_UP_TIMEOUT);
            Sleep(500);
        }
        if (nAttempt == 2 && nTypeId >= 0x25) RunComConfigStep(&PushComConfigAndDefault);
        dwResult = ExchangeCommand(set.deviceId, *phSdk, set.idFormat, pAnswer, ID_ANSWER_SIZE, dwDelay, pcbAnswer);
        if (dwResult == ERROR_SUCCESS && *pcbAnswer > 0) break;
        if (Cancelled()) return ERROR_CANCELLED;
        if (GetTickCount() - dwStart > dwTimeLimit) {
            if (dwResult == ERROR_SUCCESS) dwResult = ERROR_INVALID_DATA;
            break;
        }
        Sleep(ATTEMPT_PAUSE);
    }
    return dwResult;
}

DWORD AskRomId(HSDK hSdk, DWORD dwTimeLimit, BYTE* pAnswer, DWORD* pcbAnswer) {
    const CommandSet& set = CurrentCommandSet();
    const DWORD dwDelay = CommandDelay(theApp.nPortKind);
    Deadline limit(dwTimeLimit);
    for (;;) {
        DWORD dwResult = ExchangeCommand(set.romId, hSdk, set.idFormat, pAnswer, ID_ANSWER_SIZE, dwDelay, pcbAnswer);
        if (dwResult == ERROR_SUCCESS && *pcbAnswer > 0) return ERROR_SUCCESS;
        if (Cancelled()) return ERROR_CANCELLED;
        if (limit.Expired()) return dwResult == ERROR_SUCCESS ? ERROR_INVALID_DATA : dwResult;
    }
}

// The firmware is current: its version text goes into the result message.
DWORD ReadCurrentVersion(HSDK hSdk) {
    const CommandSet& set = CurrentCommandSet();
    BYTE answer[ID_ANSWER_SIZE] = {};
    DWORD cbAnswer = 0;
    DWORD dwResult = ExchangeCommand(set.fwVersion, hSdk, set.versionFormat, answer, sizeof answer, 100, &cbAnswer);
    if (dwResult == ERROR_SUCCESS && cbAnswer > 0) {
        std::size_t n = strnlen(reinterpret_cast<const char*>(answer), sizeof answer);
        SetFwVersionText(std::string(reinterpret_cast<const char*>(answer), n));
        return ERROR_ALREADY_REGISTERED;
    }
    // An empty answer is no version: never a success.
    if (dwResult == ERROR_SUCCESS) dwResult = ERROR_INVALID_DATA;
    ShowConnectError(LOC_ID_VERSION, dwResult);
    return dwResult;
}

}  // namespace

DWORD IdentifyDevice(std::string* pPortName, HSDK* phSdk, IDialogHost* pDialog, DWORD dwTimeLimit) noexcept {
    (void)pDialog;  // the version text goes to the engine's state, which the dialog reads
    theApp.ClearFlags(UF_BOOT_MODE);
    SelectCommandSet();
    BYTE answer[ID_ANSWER_SIZE] = {};
    DWORD cbAnswer = 0;
    SetPrinterDeviceId(-1);
    DWORD dwResult = AskDeviceId(pPortName, phSdk, dwTimeLimit, answer, &cbAnswer);

    const int nFileTypeId = theApp.nTypeId;
    const bool bValidRow = nFileTypeId >= 0 && static_cast<std::size_t>(nFileTypeId) < MODEL_TABLE_SIZE;
    if (bValidRow && (ModelTable[nFileTypeId].dwOptions & OPT_NO_BOOT_DEVID) && dwResult == ERROR_CAN_NOT_COMPLETE) {
        LogMessage(LOG_APP, 'I', __LINE__, 0, "No DEVICE ID: boot mode");
        theApp.SetFlags(UF_BOOT_MODE);
        return ERROR_SUCCESS;
    }
    // A cancel is no failure to show.
    if (dwResult == ERROR_CANCELLED) return dwResult;
    if (dwResult != ERROR_SUCCESS) {
        DWORD dwLocation = DeviceIdErrorLocation(dwResult);
        if (dwLocation == LOC_ID_LINK || !IsSilentMode()) ShowConnectError(dwLocation, dwResult);
        return dwResult;
    }

    const BYTE bDeviceId = answer[0];
    SetPrinterDeviceId(bDeviceId);
    if (bDeviceId >= UPDATE_TABLE_SIZE || !AnyUpdateFileFor(bDeviceId)) {
        LogMessage(LOG_ERROR, 'E', __LINE__, ERROR_BAD_DEVICE, "DEVICE ID [%02X] not supported", bDeviceId);
        ShowConnectError(LOC_ID_UNSUPPORTED, ERROR_SHOWN_BAD_DEVICE);
        return ERROR_BAD_DEVICE;
    }
    theApp.nTypeId = bDeviceId;
    const UpdateDataEntry& firmware = theApp.tables.FW[bDeviceId];
    if ((ModelTable[bDeviceId].dwDataKinds & DK_FIRMWARE) == 0 || !firmware.bLoaded) {
        theApp.SetFlags(UF_NO_FW_UPDATE);
        return ERROR_SUCCESS;
    }

    dwResult = AskRomId(*phSdk, dwTimeLimit, answer, &cbAnswer);
    if (dwResult == ERROR_CANCELLED) return dwResult;
    if (dwResult != ERROR_SUCCESS) {
        DWORD dwLocation = RomIdErrorLocation(dwResult);
        if (dwLocation == LOC_ROM_LINK || !IsSilentMode()) ShowConnectError(dwLocation, dwResult);
        return dwResult;
    }
    SetRomIdAnswer(answer, cbAnswer);
    LogMessage(LOG_APP, 'I', __LINE__, 0, "ROM ID [%02X], update [%02X]", answer[0], firmware.bVersion);
    if (FirmwareMustBeSent(answer[0], firmware.bVersion, theApp.TestFlags(UF_FORCE_UPDATE))) return ERROR_SUCCESS;

    theApp.SetFlags(UF_NO_FW_UPDATE);
    return ReadCurrentVersion(*phSdk);
}
