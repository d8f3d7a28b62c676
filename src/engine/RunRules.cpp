#include "engine/RunRules.h"

#include "engine/Kelvo.h"
#include "platform/WinError.h"

DWORD FlagsClearedAtRunStart(DWORD dwFlags) noexcept {
    DWORD dwClear = UF_NO_DATA_UPDATE;
    if ((dwFlags & UF_RETRY) == 0) dwClear |= UF_NO_FW_UPDATE;
    return dwClear;
}

bool FirmwareMustBeSent(BYTE bCurrentRomId, BYTE bUpdateRomId, bool bForce) noexcept {
    // ROM IDs from F0 are boot loaders and test builds: never taken as current.
    return bForce || bCurrentRomId >= 0xF0 || bUpdateRomId >= 0xF0 || bCurrentRomId < bUpdateRomId;
}

static bool IsLinkError(DWORD dwResult) noexcept {
    return dwResult == ERROR_INVALID_DATA || dwResult == ERROR_WRITE_FAULT || dwResult == ERROR_BUSY ||
           dwResult == ERROR_DEVICE_NOT_CONNECTED;
}

DWORD DeviceIdErrorLocation(DWORD dwResult) noexcept {
    return IsLinkError(dwResult) || dwResult == ERROR_TIMEOUT ? LOC_ID_LINK : LOC_ID_NO_ANSWER;
}

DWORD RomIdErrorLocation(DWORD dwResult) noexcept {
    return IsLinkError(dwResult) ? LOC_ROM_LINK : LOC_ROM_NO_ANSWER;
}

DWORD SuccessMessageId(DWORD dwFlags) noexcept {
    bool bDataOnly = (dwFlags & UF_NO_FW_UPDATE) != 0 && (dwFlags & UF_NO_DATA_UPDATE) == 0;
    return bDataOnly ? 250 : 208;
}

DataSelectionOutcome ApplyDataSelection(DWORD dwRunResult, DWORD r, DWORD dwFlags) noexcept {
    // A cancel outweighs what the run had found so far (a current firmware's 1242).
    if (r == ERROR_CANCELLED) return {r, true, false};
    if (r != ERROR_SUCCESS && r != ERROR_ALREADY_REGISTERED) {
        return {dwRunResult != ERROR_SUCCESS ? dwRunResult : r, true, false};
    }
    if ((dwFlags & UF_NO_FW_UPDATE) != 0) {
        return {r, false, r == ERROR_ALREADY_REGISTERED};
    }
    return {dwRunResult, false, false};
}

DWORD IdentifyTimeLimit(int nPortKind) noexcept { return nPortKind == 0 ? 1000 : 15000; }

DWORD CommandDelay(int nPortKind) noexcept { return nPortKind == 1 || nPortKind == 2 ? 500 : 100; }

DWORD VerifyTimeLimit(int nPortKind) noexcept {
    switch (nPortKind) {
        case 1: return 60000;
        case 2: return 100000;
        default: return 20000;
    }
}

DWORD ChecksumDelay(int nPortKind, int nTypeId) noexcept {
    if (nPortKind != 1 && nPortKind != 2) return 100;
    return nTypeId == 0x1A || nTypeId == 0x1C || nTypeId == 0x1E ? 1000 : 500;
}

DWORD TransferPercent(DWORD cbDone, DWORD cbTotal, DWORD dwWeight) noexcept {
    unsigned long long denominator = static_cast<unsigned long long>(cbTotal) + dwWeight;
    if (denominator == 0) return 100;
    return static_cast<DWORD>((static_cast<unsigned long long>(cbDone) + dwWeight) * 100 / denominator);
}
