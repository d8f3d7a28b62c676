#pragma once
// The steps of an update run. All run on the update thread (the initialisation thread
// for none of them); they share the process-wide state of theApp and the engine's
// globals below, which only the running worker writes. Each returns 0 or a Windows
// error code; a step that fails has shown its message already (none in silent mode).
#include <string>

#include "engine/Command.h"
#include "engine/Kelvo.h"
#include "port/Globals.h"
#include "ui/DialogHost.h"

class CUtilUsb;
class CUtilPort;
struct ComConfigRecord;

// The port name of a run: at most 127 characters.
inline constexpr std::size_t RUN_PORT_NAME_MAX = 127;

// ---- Command exchange ------------------------------------------------------------------

// Sends one command and decodes its answer (drain, write with 1000 ms, delay, then the
// answer within 3000 ms, polled every 50 ms). *pcbAnswer is the payload length (the
// format's expected count) on 0, else 0. Blocks up to about delay + 3100 ms; a cancel
// (UF_CANCEL) ends the answer wait at its next poll with ERROR_CANCELLED.
DWORD ExchangeCommand(const BYTE* pCommand, DWORD cbCommand, HSDK hSdk, ResponseFormat format, BYTE* pAnswer,
                      DWORD cbAnswer, DWORD dwDelay, DWORD* pcbAnswer) noexcept;
inline DWORD ExchangeCommand(const PrinterCommand& command, HSDK hSdk, ResponseFormat format, BYTE* pAnswer,
                             DWORD cbAnswer, DWORD dwDelay, DWORD* pcbAnswer) noexcept {
    return ExchangeCommand(command.bytes.data(), static_cast<DWORD>(command.bytes.size()), hSdk, format, pAnswer,
                           cbAnswer, dwDelay, pcbAnswer);
}

// The option word of every open of the engine.
DWORD EngineOpenOptions() noexcept;
// The thread's last error after a failed port-service call, 186 when it is 0.
DWORD PortError() noexcept;
// Opens the port again with the engine's option word; 0 or the error.
DWORD ReopenPort(HSDK* phSdk, int nPortKind, const std::string& portName) noexcept;
// One read after a reconnect that no command exchange follows, as identification's first
// exchange does: the port then counts as read and the transfer's writes never drain it
// (a drain between blocks could end the data connection under the transfer). Its result
// is not used; what it reads is dropped.
void ReadOnceAfterReconnect(HSDK hSdk) noexcept;

// The USB discovery object, or null while none exists (then a printer is never found
// under a new name). Set by the front end between runs.
void SetUsbDiscovery(CUtilUsb* pUsb) noexcept;
CUtilUsb* GetUsbDiscovery() noexcept;
// After a USB restart: finds the name the printer came back under (up to 5000 ms),
// comparing the maker's printers present with the discovery object's ppSeenNames, which
// it then replaces. Returns the number of new names; with exactly one, *pPortName is it.
int FindUsbPortAgain(CUtilUsb* pUsb, std::string* pPortName) noexcept;

// ---- Run port handling -----------------------------------------------------------------

// OpenRunPort stops the competing services (their waits end on a cancel), applies the
// serial defaults of the run and opens the port; a cancel before the open ends it with
// ERROR_CANCELLED. It never closes: the run calls CloseRunPort exactly once, also after
// a failed open, and that starts the services again.
DWORD OpenRunPort(std::string* pPortName, HSDK* phSdk) noexcept;
void CloseRunPort(HSDK hSdk) noexcept;
// One of the serial-default helpers (SetupComConfig, PushComConfigAndDefault,
// ResetComConfig) on the run's record: only in a serial run with a record, never at the
// same time as RestoreMachineAfterInterrupt, and not at all after it.
void RunComConfigStep(void (*pfnStep)(ComConfigRecord&) noexcept) noexcept;
// Lets runs stop services and change serial defaults again after
// RestoreMachineAfterInterrupt (tests).
void ResetRunPortForTest() noexcept;

// ---- Device identification -------------------------------------------------------------

DWORD IdentifyDevice(std::string* pPortName, HSDK* phSdk, IDialogHost* pDialog, DWORD dwTimeLimit) noexcept;

// ---- Firmware transfer and verification ------------------------------------------------

DWORD SendFirmware(IDialogHost* pDialog, HSDK hSdk) noexcept;
DWORD SendData(BOOL bAfterFirmware, const UpdateDataEntry& entry, IDialogHost* pDialog, HSDK hSdk,
               DWORD* pcbTotal) noexcept;
DWORD WaitForRestart(IDialogHost* pDialog, std::string* pPortName, HSDK* phSdk, BOOL bAfterTransfer) noexcept;
DWORD VerifyFirmware(IDialogHost* pDialog, HSDK* phSdk) noexcept;
void ShowProgress(DWORD dwPercent) noexcept;
void WaitWithProgress(DWORD dwMilliseconds) noexcept;
// WaitWithProgress that a cancel ends early when bCancellable: FALSE when it did.
BOOL PauseWithProgress(DWORD dwMilliseconds, bool bCancellable) noexcept;
int ReportTransferError(DWORD dwError, DWORD dwLocation) noexcept;

// Progress texts.
inline constexpr const char* PROGRESS_SENDING = "Sending... [%3d%%]";
inline constexpr const char* PROGRESS_WAITING = "Waiting... [%3d%%]";
// Sets up the progress state; a null dialog or format shows nothing.
void SetupProgress(IDialogHost* pDialog, const char* pszFormat, DWORD dwSpan, DWORD dwBase, DWORD dwTop) noexcept;
// The time-based progress: base + elapsed × (top − base) / span.
void ShowTimeProgress() noexcept;

// A wait that a cancel does not cut short (the printer is storing what it received).
// While one lives, CancelWaitText (engine/Thread.h) tells the user about it. One at a
// time, on the update thread.
class UncancellableWait {
public:
    // pszWhat completes "waiting up to N s ..." ("for the printer to restart");
    // dwLimit is the longest the wait can take.
    UncancellableWait(const char* pszWhat, DWORD dwLimit) noexcept;
    ~UncancellableWait();
    UncancellableWait(const UncancellableWait&) = delete;
    UncancellableWait& operator=(const UncancellableWait&) = delete;
};

// ---- Font and data update --------------------------------------------------------------

DWORD SelectDataUpdates(HSDK hSdk, DWORD* pdwMask) noexcept;
DWORD CheckDataChecksum(HSDK hSdk, DWORD dwKind) noexcept;
DWORD QueryDataChecksum(DWORD dwKind, DWORD* pcbAnswer, HSDK hSdk, BYTE* pAnswer, DWORD dwTimeLimit) noexcept;
DWORD SendDataKind(HSDK* phSdk, IDialogHost* pDialog, const std::string& portName) noexcept;
DWORD VerifyDataChecksum(DWORD dwKind, HSDK hSdk) noexcept;

// The data kinds in the order they are checked and sent.
struct DataKindInfo {
    DWORD dwKind;
    UpdateTable UpdateTables::*pTable;
    BYTE bLetter;
};
inline constexpr std::size_t DATA_KIND_COUNT = 4;
extern const DataKindInfo DATA_KINDS[DATA_KIND_COUNT];
const DataKindInfo* FindDataKind(DWORD dwKind) noexcept;

// ---- Engine state read by the front end ------------------------------------------------

// The firmware version text read from the printer (at most 31 characters).
std::string FwVersionText();
void SetFwVersionText(const std::string& text);
// Keeps the bytes of a ROM ID answer for the front end (TakeRomIdAnswer).
void SetRomIdAnswer(const BYTE* pAnswer, DWORD cbAnswer);
// Keeps the DEVICE ID of the identification for the front end (PrinterDeviceId); -1: none.
void SetPrinterDeviceId(int nDeviceId);
