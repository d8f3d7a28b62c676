#pragma once
// The update engine as a front end sees it: two worker threads, one at a time.
//
// How a front end drives it (all calls on its main thread):
//   1. Once the window shows: StartInitializeThread(host). The worker loads the update
//      files, sets the caption, sets up the connection kinds, and in silent mode calls
//      host.PostSelect(); a failure sets theApp.nExitCode (2 or 1801) and, silently,
//      host.PostClose() after 2000 ms.
//   2. On Select: set theApp.nPortKind and theApp.szPortName (the port list line's name),
//      then StartUpdateThread(host, false). It waits for the previous worker first.
//   3. While it runs the worker calls host.SetControlText (IDC_STATUS_TEXT and
//      IDC_PROGRESS_TEXT: "Sending... [ 40%]", "Waiting... [ 12%]"), host.SetBusyLayout
//      (true), and shows boxes through the message box registered with SetMessageBox
//      (ui/Util.h). To cancel, set UF_CANCEL with theApp.SetFlags.
//   The host must outlive the worker; its calls come from the worker thread.
//   4. At the end the run stores its result in theApp.nExitCode (ExitStatusFromResult
//      turns it into a process status), shows the result box, and either calls
//      host.RestoreAfterRun(), or, when the user chose Retry in a failure prompt,
//      host.PostRetry(): the front end then calls StartUpdateThread(host, true). In silent
//      mode it calls host.PostClose() 1000 ms (2000 ms after a failure) after the run.
//   5. WaitForWorker(INFINITE) before the process ends. FwVersionText() holds the
//      version text the printer reported (empty before any).
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/Types.h"
#include "ui/DialogHost.h"
#include "ui/ProgressSteps.h"

class CUtilUsb;
struct UpdateDataEntry;

// What the engine asks of a front end beyond IDialogHost. Empty members take defaults.
struct EngineHooks {
    // Labels and preselects the connection kinds of the loaded model (theApp.nTypeId):
    // TRUE, or FALSE after its error box. Runs on the initialisation thread. Default:
    // DefaultSetupConnectionKinds.
    std::function<BOOL(IDialogHost&)> setupConnectionKinds;
    // Opens a help page of the support site in the browser (the full address). Runs on
    // the update thread and may block for a few seconds. Default: LaunchUrl.
    std::function<BOOL(const char* pszUrl)> launchUrl;
};
// Installs the hooks. Main thread, while no worker runs.
void SetEngineHooks(EngineHooks hooks);

// The checks of the connection-kind set-up without any window: not silent, the first
// kind the model row offers becomes theApp.nInitialPortKind (none: error 256, 0x050901);
// silent, the kind of the command line must be offered (else error 257, 0x050902).
BOOL DefaultSetupConnectionKinds();

// Starts the initialisation thread (waits for a previous worker first). FALSE with the
// last error when the thread cannot start.
BOOL StartInitializeThread(IDialogHost& host);
// Starts an update run on the update thread after the previous worker has ended. A
// first run clears UF_CANCEL, UF_RETRY and UF_RETRY_REQUESTED; a retry run (bRetry,
// after host.PostRetry()) clears UF_RETRY_REQUESTED and sets UF_RETRY. FALSE with the
// last error when the thread cannot start.
BOOL StartUpdateThread(IDialogHost& host, bool bRetry);
// Waits up to dwTimeout ms for the running worker: WAIT_OBJECT_0 (ended, or none) or
// WAIT_TIMEOUT.
DWORD WaitForWorker(DWORD dwTimeout);
bool WorkerRunning();

// Starts again the services the current run stopped and restores the serial defaults it changed. Main thread, while the worker may still run; idempotent.
void RestoreMachineAfterInterrupt() noexcept;
// (It also sets UF_CANCEL, so that the run's waits give way, and waits up to 3 s for a
// service step of the run to do so; after it, no run of this process stops a service
// or changes a serial default again. It takes a few seconds at most.)

// What a cancel still has to wait for before the run can end, for the user: "waiting up
// to 14 s for the printer to restart"; empty when the running step ends promptly on a
// cancel, or no run runs. Any thread.
std::string CancelWaitText();
// How long that wait may still take (ms); nothing while none runs. Any thread.
std::optional<DWORD> UncancellableWaitLeft();

// The name of the update table an entry belongs to ("FW", "KF", ...; "" for none).
const char* UpdateTableName(const UpdateDataEntry* pEntry);
// A transfer of an entry of a table as a front end names and counts it: the bytes sent,
// download header included, and the pause after the first block weighed as the engine
// counts it in its percentage. A null entry gives the table alone.
TransferInfo TransferOfEntry(const UpdateDataEntry* pEntry, const std::string& table);
// The transfer the running update sends now, or sent last (empty before any). Any thread.
TransferInfo TransferUnderWay();

// The USB discovery object the restart wait asks for a printer's new port name; null
// (the default) while none exists. Main thread, between runs.
void SetUsbDiscovery(CUtilUsb* pUsb) noexcept;

// The firmware version text read from the printer (at most 31 characters).
std::string FwVersionText();
// The bytes of the last ROM ID answer the printer gave, and forgets them, so that the
// next call shows only what was read in between (empty: nothing). Any thread.
std::vector<BYTE> TakeRomIdAnswer();
// The DEVICE ID (Type ID) the printer reported at the last identification; -1 when none
// was read. Any thread.
int PrinterDeviceId();

// The bodies of the two threads, callable directly on a thread the caller owns.
DWORD InitializeUpdate(IDialogHost& host);
DWORD RunUpdate(IDialogHost& host);
// The result step of a run: the success box for 0; nothing for other codes.
void ReportResult(DWORD dwResult, IDialogHost& host);
