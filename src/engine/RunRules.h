#pragma once
// The decisions of an update run that depend only on numbers and flag bits: which flags a
// run starts with, when firmware must be sent, which location code a failure carries,
// which success message a result gets, and the waits of each connection kind.
#include "platform/Types.h"

// Location codes of the engine's messages.
inline constexpr DWORD LOC_ID_UNSUPPORTED = 0x040301;
inline constexpr DWORD LOC_ID_LINK = 0x040302;
inline constexpr DWORD LOC_ID_NO_ANSWER = 0x040303;
inline constexpr DWORD LOC_ROM_LINK = 0x040305;
inline constexpr DWORD LOC_ROM_NO_ANSWER = 0x040306;
inline constexpr DWORD LOC_ID_VERSION = 0x040307;
inline constexpr DWORD LOC_ID_VERSION_TEXT = 0x040308;
inline constexpr DWORD LOC_SEND_WRITE = 0x040501;
inline constexpr DWORD LOC_SEND_STALLED = 0x040502;
inline constexpr DWORD LOC_RESTART_SERIAL = 0x040601;
inline constexpr DWORD LOC_POST_UPDATE_WRITE = 0x040604;
inline constexpr DWORD LOC_POST_UPDATE_REOPEN = 0x040605;
inline constexpr DWORD LOC_VERIFY_NO_ROM_ID = 0x040701;
inline constexpr DWORD LOC_VERIFY_ROM_ID = 0x040703;
inline constexpr DWORD LOC_VERIFY_NO_VERSION = 0x040704;
inline constexpr DWORD LOC_VERIFY_VERSION_TEXT = 0x040705;
inline constexpr DWORD LOC_DATA_QUERY = 0x040B01;
inline constexpr DWORD LOC_DATA_NO_CHECKSUM = 0x040C01;
inline constexpr DWORD LOC_DATA_CHECKSUM = 0x040C02;

// Codes made up for a message box carry this bit.
inline constexpr DWORD ERROR_MADE_UP = 0x20000000;
inline constexpr DWORD ERROR_SHOWN_INVALID_DATA = ERROR_MADE_UP | 13;   // 0x2000000D
inline constexpr DWORD ERROR_SHOWN_TIMEOUT = ERROR_MADE_UP | 1460;      // 0x200005B4
inline constexpr DWORD ERROR_SHOWN_BAD_DEVICE = ERROR_MADE_UP | 1200;   // 0x200004B0

// The flag bits a run clears before it starts: UF_NO_DATA_UPDATE always, UF_NO_FW_UPDATE
// unless this is a retry run (which keeps the decision of the run it repeats).
DWORD FlagsClearedAtRunStart(DWORD dwFlags) noexcept;

// Whether the firmware is sent after identification.
bool FirmwareMustBeSent(BYTE bCurrentRomId, BYTE bUpdateRomId, bool bForce) noexcept;

// Location codes of identification failures: the link kind of error or another.
DWORD DeviceIdErrorLocation(DWORD dwResult) noexcept;
DWORD RomIdErrorLocation(DWORD dwResult) noexcept;

// The string of the success box for result 0: 250 when only data was sent, else 208.
DWORD SuccessMessageId(DWORD dwFlags) noexcept;

// What the run makes of the data selection's result r (step after the firmware). A
// cancel (1223) ends the run with 1223 whatever its result was.
struct DataSelectionOutcome {
    DWORD dwResult;       // the run's result from here on
    bool bEndRun;         // go straight to closing the port
    bool bShowCurrent;    // show "firmware current" (222, or 263 without a firmware file)
};
DataSelectionOutcome ApplyDataSelection(DWORD dwRunResult, DWORD r, DWORD dwFlags) noexcept;

// Waits and limits by connection kind (0 USB, 1 Bluetooth, 2 LAN, 3 serial).
DWORD IdentifyTimeLimit(int nPortKind) noexcept;   // 1000 USB, else 15000
DWORD CommandDelay(int nPortKind) noexcept;        // after each identification write
DWORD VerifyTimeLimit(int nPortKind) noexcept;     // ROM ID after a restart
DWORD ChecksumDelay(int nPortKind, int nTypeId) noexcept;
// The progress percent of a transfer: sent bytes plus the weight of the first-block
// pause, over the total plus that weight.
DWORD TransferPercent(DWORD cbDone, DWORD cbTotal, DWORD dwWeight) noexcept;
