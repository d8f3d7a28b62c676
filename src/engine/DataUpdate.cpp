// Fonts and code pages: compared by checksum, sent only when they differ, checked after.
#include "config/ConfigFile.h"
#include "engine/RunRules.h"
#include "engine/Steps.h"
#include "log/Log.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "ui/StringTable.h"
#include "ui/Util.h"

namespace {

constexpr DWORD CHECKSUM_ANSWER_SIZE = 64;
constexpr DWORD SELECT_QUERY_LIMIT = 15000;
constexpr DWORD VERIFY_QUERY_LIMIT = 5000;
constexpr DWORD VERIFY_LIMIT = 70000;
constexpr DWORD SETTLE_AFTER_SEND = 3000;
constexpr DWORD RECONNECT_PAUSE = 1500;
constexpr DWORD RECONNECT_ALLOWANCE = 5000;  // one connect step of the reopen

WORD AnswerChecksum(const BYTE* pAnswer) { return static_cast<WORD>(pAnswer[0] | (pAnswer[1] << 8)); }

WORD CurrentFileChecksum() { return theApp.pCurrentEntry != nullptr ? theApp.pCurrentEntry->wChecksum : 0; }

}  // namespace

const DataKindInfo DATA_KINDS[DATA_KIND_COUNT] = {
    {DK_KANJI_FONT, &UpdateTables::KF, FONT_LETTER_KANJI},
    {DK_CODE_PAGE, &UpdateTables::CF, FONT_LETTER_CODEPAGE},
    {DK_CPCL_FONT, &UpdateTables::ZF, FONT_LETTER_CPCL},
    {DK_ZPL_FONT, &UpdateTables::YF, FONT_LETTER_ZPL},
};

const DataKindInfo* FindDataKind(DWORD dwKind) noexcept {
    for (const DataKindInfo& info : DATA_KINDS) {
        if (info.dwKind == dwKind) return &info;
    }
    return nullptr;
}

DWORD SelectDataUpdates(HSDK hSdk, DWORD* pdwMask) noexcept {
    *pdwMask = 0;
    int nTypeId = theApp.nTypeId;
    if (nTypeId >= 0 && static_cast<std::size_t>(nTypeId) < MODEL_TABLE_SIZE) {
        for (const DataKindInfo& info : DATA_KINDS) {
            const UpdateDataEntry& entry = (theApp.tables.*info.pTable)[nTypeId];
            if ((ModelTable[nTypeId].dwDataKinds & info.dwKind) == 0 || !entry.bLoaded) continue;
            theApp.pCurrentEntry = &entry;
            DWORD dwResult = CheckDataChecksum(hSdk, info.dwKind);
            if (dwResult == ERROR_SUCCESS) {
                *pdwMask |= info.dwKind;
            } else if (dwResult != ERROR_ALREADY_REGISTERED) {
                return dwResult;
            }
        }
    }
    if (*pdwMask != 0) return ERROR_SUCCESS;
    theApp.SetFlags(UF_NO_DATA_UPDATE);
    return ERROR_ALREADY_REGISTERED;
}

DWORD CheckDataChecksum(HSDK hSdk, DWORD dwKind) noexcept {
    BYTE answer[CHECKSUM_ANSWER_SIZE] = {};
    DWORD cbAnswer = sizeof answer;
    DWORD dwResult = QueryDataChecksum(dwKind, &cbAnswer, hSdk, answer, SELECT_QUERY_LIMIT);
    // The user's cancel is no connection failure: nothing to show.
    if (dwResult == ERROR_CANCELLED) return dwResult;
    if (dwResult != ERROR_SUCCESS) {
        ShowError(LOC_DATA_QUERY, dwResult, "%s", LoadResString(IDS_CONNECT_FAILED).c_str());
        return dwResult;
    }
    WORD wPrinter = AnswerChecksum(answer);
    LogMessage(LOG_APP, 'I', __LINE__, 0, "Checksum [%05X] printer [%04X] file [%04X]", dwKind, wPrinter,
               CurrentFileChecksum());
    theApp.checksumsRead.emplace_back(theApp.pCurrentEntry, wPrinter);
    return wPrinter == CurrentFileChecksum() ? ERROR_ALREADY_REGISTERED : ERROR_SUCCESS;
}

DWORD QueryDataChecksum(DWORD dwKind, DWORD* pcbAnswer, HSDK hSdk, BYTE* pAnswer, DWORD dwTimeLimit) noexcept {
    const DataKindInfo* pInfo = FindDataKind(dwKind);
    const DWORD cbBuffer = *pcbAnswer;
    *pcbAnswer = 0;
    if (pInfo == nullptr) return ERROR_INVALID_PARAMETER;
    BYTE command[FONT_CHECKSUM_LEN];
    BuildFontChecksumCommand(pInfo->bLetter, command);
    const DWORD dwDelay = ChecksumDelay(theApp.nPortKind, theApp.nTypeId);
    Deadline limit(dwTimeLimit);
    DWORD dwResult = ERROR_SUCCESS;
    DWORD cbAnswer = 0;
    for (;;) {
        if (theApp.TestFlags(UF_CANCEL)) return ERROR_CANCELLED;
        if (limit.Elapsed() > dwTimeLimit) {
            return dwResult == ERROR_SUCCESS && cbAnswer == 0 ? ERROR_INVALID_DATA : dwResult;
        }
        dwResult = ExchangeCommand(command, sizeof command, hSdk, FONT_CHECKSUM_FORMAT, pAnswer, cbBuffer, dwDelay,
                                   &cbAnswer);
        if (dwResult == ERROR_SUCCESS && cbAnswer > 0) {
            *pcbAnswer = cbAnswer;
            return ERROR_SUCCESS;
        }
    }
}

DWORD SendDataKind(HSDK* phSdk, IDialogHost* pDialog, const std::string& portName) noexcept {
    if (theApp.pCurrentEntry == nullptr) return ERROR_INVALID_PARAMETER;
    DWORD cbTotal = 0;
    DWORD dwResult = SendData(FALSE, *theApp.pCurrentEntry, pDialog, *phSdk, &cbTotal);
    if (dwResult != ERROR_SUCCESS) return dwResult;
    int nKind = theApp.nPortKind;
    const bool bReconnect = nKind == static_cast<int>(PORT_KIND_BLUETOOTH) || nKind == static_cast<int>(PORT_KIND_LAN);
    // The printer stores what it received; a cancel waits for that.
    UncancellableWait storing("for the printer to store the data",
                              SETTLE_AFTER_SEND + (bReconnect ? RECONNECT_PAUSE + RECONNECT_ALLOWANCE : 0));
    Sleep(SETTLE_AFTER_SEND);
    if (!bReconnect) return ERROR_SUCCESS;
    pfnClosePort(*phSdk, 0);
    *phSdk = 0;
    Sleep(RECONNECT_PAUSE);
    return ReopenPort(phSdk, nKind, portName);
}

DWORD VerifyDataChecksum(DWORD dwKind, HSDK hSdk) noexcept {
    Deadline limit(VERIFY_LIMIT);
    for (;;) {
        BYTE answer[CHECKSUM_ANSWER_SIZE] = {};
        DWORD cbAnswer = sizeof answer;
        DWORD dwResult = QueryDataChecksum(dwKind, &cbAnswer, hSdk, answer, VERIFY_QUERY_LIMIT);
        if (dwResult == ERROR_SUCCESS) {
            WORD wPrinter = AnswerChecksum(answer);
            if (wPrinter == CurrentFileChecksum()) return ERROR_SUCCESS;
            LogMessage(LOG_ERROR, 'E', __LINE__, ERROR_INVALID_DATA, "Checksum [%05X] printer [%04X] file [%04X]",
                       dwKind, wPrinter, CurrentFileChecksum());
            ReportTransferError(ERROR_INVALID_DATA, LOC_DATA_CHECKSUM);
            return ERROR_INVALID_DATA;
        }
        // A cancel ends the check at once instead of spinning to the limit.
        if (dwResult == ERROR_CANCELLED) return dwResult;
        if (limit.Elapsed() > VERIFY_LIMIT) {
            ReportTransferError(ERROR_SHOWN_TIMEOUT, LOC_DATA_NO_CHECKSUM);
            return dwResult;
        }
    }
}
