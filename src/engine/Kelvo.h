#pragma once
// The application state every part reaches, and the start-up, run and teardown of the
// program. Both front ends (the desktop dialog and the terminal) drive the same core:
// they implement IFrontEnd and call RunKelvo from main().
#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/SingleInstance.h"
#include "engine/UpdateFiles.h"
#include "platform/Types.h"
#include "port/Globals.h"
#include "ui/DialogHost.h"
#include "ui/MsgBox.h"

// Flag word bits. Shell bits first; the engine's own bits follow.
inline constexpr DWORD UF_FORCE_UPDATE = 0x00002000;
inline constexpr DWORD UF_NO_FW_UPDATE = 0x00004000;
inline constexpr DWORD UF_NO_DATA_UPDATE = 0x00008000;
inline constexpr DWORD UF_EXT_COMMANDS = 0x00010000;
inline constexpr DWORD UF_BOOT_MODE = 0x00020000;
inline constexpr DWORD UF_RETRY = 0x00040000;
inline constexpr DWORD UF_RETRY_REQUESTED = 0x00080000;
// Identify and decide only: no service stopped, nothing sent (kelvo-cli --check).
inline constexpr DWORD UF_CHECK_ONLY = 0x00100000;
inline constexpr DWORD UF_SILENT = 0x40000000;
inline constexpr DWORD UF_CANCEL = 0x80000000;

// Connection kinds (nPortKind, nInitialPortKind, the per-kind arrays) are the port
// layer's PORT_KIND_* values; the shell calls the serial kind by its dialog name.
inline constexpr DWORD PORT_KIND_SERIAL = PORT_KIND_COM;

inline constexpr std::size_t PORT_NAME_MAX = 260;  // characters of szPortName
inline constexpr std::size_t CAPTION_MAX = 63;

// The result of a start that could not load its configuration ("the configuration data
// for this product is corrupt"): a failure, so that an installer sees one.
inline constexpr DWORD ERROR_BAD_CONFIGURATION = 1610;

// Codes of the start-up's own boxes: the instance lock cannot be had.
inline constexpr DWORD LOC_INSTANCE_LOCK = 0x010901;         // the lock file cannot be opened
inline constexpr DWORD LOC_OTHER_UPDATER = 0x010902;         // another updater holds the machine's lock
inline constexpr DWORD ERROR_SHOWN_OTHER_UPDATER = 0x200000B7;  // made up from ERROR_ALREADY_EXISTS

struct ComConfigRecord;  // the serial configuration record (port/ComConf.h)

// The application object. One instance, theApp, lives for the whole process.
struct CKelvoApp {
    UpdateTables tables;                               // filled by the initialisation thread
    const UpdateDataEntry* pCurrentEntry = nullptr;    // the update engine's current record
    std::vector<const UpdateDataEntry*> wouldSend;     // UF_CHECK_ONLY: what the run would send, in order
    // The printer's data checksums the run read before deciding, each with its file's row.
    std::vector<std::pair<const UpdateDataEntry*, WORD>> checksumsRead;
    std::atomic<DWORD> nExitCode{0};                   // result of the last initialisation or run
    std::atomic<DWORD> dwUpdateFlags{0};               // shared by the main and worker threads
    int nPortKind = PORT_KIND_USB;                     // kind chosen at Select (main thread)
    std::atomic<int> nTypeId{0};                       // row of the model table; 0: no firmware file
    CInstanceLock hMutex;                              // held from start-up until teardown
    CInstanceLock hMachineLock;                        // the machine's, held as long as hMutex
    std::string strTargetName;                         // settings, written back unchanged
    int nInitialPortKind = PORT_KIND_USB;              // from the command line
    DWORD nIpAddr = 0;
    int nLastPortKind = -1;                            // settings: the kind last chosen (dialog)
    std::string szPortName;                            // written by the port list, read by the run
    std::string strProgramName;                        // names the settings file
    // The serial configuration record of the chosen serial port; none for other kinds.
    // Set by the port list on the main thread between runs, used by the update run.
    std::shared_ptr<ComConfigRecord> pComConfig;

    // Each change is one atomic read-modify-write of single bits.
    // UF_CANCEL is mirrored in PortAbortEvent, which the drivers' answer waits watch.
    void SetFlags(DWORD dwBits) noexcept {
        dwUpdateFlags.fetch_or(dwBits);
        if ((dwBits & UF_CANCEL) != 0) PortAbortEvent().Set();
    }
    void ClearFlags(DWORD dwBits) noexcept {
        dwUpdateFlags.fetch_and(~dwBits);
        if ((dwBits & UF_CANCEL) != 0) PortAbortEvent().Reset();
    }
    bool TestFlags(DWORD dwBits) const noexcept { return (dwUpdateFlags.load() & dwBits) != 0; }

    // The state of a fresh start: tables freed, every field back to its default.
    void Reset() noexcept;
};

extern CKelvoApp theApp;

// What a front end gives the core. Its message box is also the program's message box
// for the whole run (configuration errors at start-up included).
class IFrontEnd : public IMessageBox {
public:
    // Runs the main window (the dialog, or the terminal session) on the calling main
    // thread and returns when it has closed. Everything the user does happens inside;
    // the worker threads it starts must have ended on return. Sets theApp.nExitCode.
    virtual void RunMainWindow(CKelvoApp& app) = 0;
    // Another instance is running: asks it to restore and raise its window. Must not
    // block for long; failure is ignored.
    virtual void RaiseFirstInstance() = 0;
};

// The whole life of the program: settings, command line, log, configuration, single
// instance, the front end's run, write-back, freeing, and the exit status to return from
// main() (ExitStatusFromResult of theApp.nExitCode). The command line is read before
// anything can show a box, so that a silent start never waits for an answer. A second
// start of the same user ends with 0 after raising the first window, or silently with
// ERROR_ALREADY_EXISTS (an installer must not count it as an update); a start that finds
// another updater on the machine, or cannot open a lock file, says why and fails.
// strProgramName names the settings file. Main thread only.
int RunKelvo(IFrontEnd& frontEnd, std::string_view commandLine, const std::string& strProgramName);

// Writes TargetName, IpAddr and PortKind from theApp to the settings file of
// theApp.strProgramName (a warning is logged when that fails). The normal end does it, and
// so does every path that ends the process without it. Main thread.
void WriteBackSettings();

// The process exit status of a result code: 0 for 0, 2 for 1242 (nothing needed
// updating), 3 for 1223 (cancelled), 1 for any other.
int ExitStatusFromResult(DWORD dwResult) noexcept;

// TRUE when this is the only running instance; the locks are then held in theApp.hMutex
// and theApp.hMachineLock. A second instance of the same user asks the first to come
// forward and gets FALSE with ERROR_ALREADY_EXISTS; another updater on the machine (of
// another user, or root's) gives FALSE with ERROR_BUSY; a lock that cannot be made gives
// FALSE with its error. A system without the shared lock folder has no machine lock.
// *pFailedLock (may be null) names the lock that was not had.
BOOL CheckSingleInstance(IFrontEnd& frontEnd, std::string* pFailedLock = nullptr);

// A run started by a fleet parent for one port (empty: a run of its own, the default).
// The parent holds the instance locks and stops and starts the services; the run locks
// its port only (InstanceLockPath with the port in the name), leaves the services alone,
// and logs to Kelvo-<port>.log. Main thread, before RunKelvo.
void SetFleetChildPort(const std::string& port);
const std::string& FleetChildPort() noexcept;
// The port as it may stand in a file name ('/' would leave the folder).
std::string PortFileTag(const std::string& port);
// The name the run gives LogSetup: Kelvo, or Kelvo-<port> under a fleet parent.
std::string ProgramLogName();

// "ZAQ Kelvo", or "ZAQ Kelvo [ <model name> ]" for a loaded model, at most 63 characters.
std::string KelvoCaption();
// Puts the caption on the dialog; always TRUE. Called by the initialisation thread.
BOOL UpdateCaption(IDialogHost& dialog);

// The update files of theApp: firmware first (sets theApp.nTypeId), then the data kinds.
BOOL LoadFirmwareFile();
BOOL LoadDataFiles();
