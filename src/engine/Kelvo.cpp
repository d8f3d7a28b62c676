#include "engine/Kelvo.h"

#include "config/ConfigFile.h"
#include "engine/CommandLine.h"
#include "engine/Settings.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/WinError.h"
#include "ui/StringTable.h"
#include "ui/Util.h"

CKelvoApp theApp;

namespace {

std::string g_fleetChildPort;

bool QuerySilent() noexcept { return theApp.TestFlags(UF_SILENT); }

// Ends the run with its result: the full code goes to the log, the exit status keeps
// what POSIX can carry.
int FinishWith(DWORD dwResult) {
    int nStatus = ExitStatusFromResult(dwResult);
    LogMessage(LOG_APP, 'I', __LINE__, 0, "Result code [%u], exit status [%d]", dwResult, nStatus);
    return nStatus;
}

// The result of a start that did not get the instance locks, after telling why.
DWORD RefuseStart(DWORD dwError, const std::string& lockPath) {
    if (dwError == ERROR_ALREADY_EXISTS) {
        // The first window was asked to come forward; a silent start must still not be
        // taken for an update done.
        LogMessage(LOG_APP, 'I', __LINE__, dwError, "Another instance is running [%s]", lockPath.c_str());
        return theApp.TestFlags(UF_SILENT) ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    }
    if (dwError == ERROR_BUSY) {
        // Its window belongs to another user (or to root): it cannot be raised from here.
        LogMessage(LOG_APP, 'I', __LINE__, dwError, "Another updater is running [%s]", lockPath.c_str());
        ShowError(LOC_OTHER_UPDATER, ERROR_SHOWN_OTHER_UPDATER, "%s", LoadResString(IDS_OTHER_UPDATER_RUNNING).c_str());
        return ERROR_ALREADY_EXISTS;
    }
    LogMessage(LOG_ERROR, 'E', __LINE__, dwError, "Instance lock failed [%s]", lockPath.c_str());
    ShowError(LOC_INSTANCE_LOCK, dwError, LoadResString(IDS_INSTANCE_LOCK_FAILED).c_str(), lockPath.c_str());
    return dwError != ERROR_SUCCESS ? dwError : ERROR_GEN_FAILURE;
}

// Undoes what start-up lent out, so that nothing points at the front end once it is gone.
void DetachFrontEnd() {
    SetMessageBox(nullptr);
    SetSilentModeQuery(nullptr);
}

}  // namespace

void CKelvoApp::Reset() noexcept {
    tables.Clear();
    pCurrentEntry = nullptr;
    wouldSend.clear();
    checksumsRead.clear();
    nExitCode = 0;
    dwUpdateFlags = 0;
    PortAbortEvent().Reset();
    nPortKind = PORT_KIND_USB;
    nTypeId = 0;
    hMachineLock.Release();
    hMutex.Release();
    nInitialPortKind = PORT_KIND_USB;
    nLastPortKind = -1;
    szPortName.clear();
    pComConfig.reset();
}

int ExitStatusFromResult(DWORD dwResult) noexcept {
    switch (dwResult) {
        case ERROR_SUCCESS: return 0;
        case ERROR_ALREADY_REGISTERED: return 2;
        case ERROR_CANCELLED: return 3;
        default: return 1;
    }
}

void SetFleetChildPort(const std::string& port) { g_fleetChildPort = port; }

const std::string& FleetChildPort() noexcept { return g_fleetChildPort; }

std::string PortFileTag(const std::string& port) {
    std::string tag = port;
    for (char& ch : tag) {
        if (ch == '/' || static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) ch = '_';
    }
    return tag;
}

std::string ProgramLogName() {
    if (g_fleetChildPort.empty()) return LOG_PROGRAM_NAME;
    return std::string(LOG_PROGRAM_NAME) + "-" + PortFileTag(g_fleetChildPort);
}

BOOL CheckSingleInstance(IFrontEnd& frontEnd, std::string* pFailedLock) {
    if (!g_fleetChildPort.empty()) {
        // The parent holds the instance and machine locks; two children of one port
        // must still never meet.
        std::string portLock = InstanceLockPath();
        portLock.insert(portLock.size() - std::string_view(".lock").size(), "-" + PortFileTag(g_fleetChildPort));
        if (theApp.hMutex.Acquire(portLock)) return TRUE;
        if (pFailedLock != nullptr) *pFailedLock = portLock;
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            LastErrorGuard keep;
            frontEnd.RaiseFirstInstance();
        }
        return FALSE;
    }
    const std::string userLock = InstanceLockPath();
    if (!theApp.hMutex.Acquire(userLock)) {
        if (pFailedLock != nullptr) *pFailedLock = userLock;
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            LastErrorGuard keep;
            frontEnd.RaiseFirstInstance();
        }
        return FALSE;
    }
    const std::string machineLock = MachineLockPath();
    if (theApp.hMachineLock.Acquire(machineLock, false)) return TRUE;
    DWORD dwError = GetLastError();
    if (dwError == ERROR_PATH_NOT_FOUND) {
        // Systems without the shared lock folder keep only the per-user rule.
        LogMessage(LOG_WARNING, 'W', __LINE__, dwError, "No machine lock [%s]", machineLock.c_str());
        return TRUE;
    }
    theApp.hMutex.Release();
    if (pFailedLock != nullptr) {
        *pFailedLock = machineLock;
        const std::string& owner = theApp.hMachineLock.ForeignOwner();
        if (!owner.empty()) *pFailedLock += " (user " + owner + "'s)";
    }
    SetLastError(dwError == ERROR_ALREADY_EXISTS ? ERROR_BUSY : dwError);
    return FALSE;
}

int RunKelvo(IFrontEnd& frontEnd, std::string_view commandLine, const std::string& strProgramName) {
    theApp.strProgramName = strProgramName;
    const std::string settingsPath = SettingsFilePath(strProgramName);
    KelvoSettings settings = ReadSettings(settingsPath);
    theApp.strTargetName = settings.strTargetName;
    theApp.nIpAddr = settings.nIpAddr;

    theApp.Reset();
    theApp.nLastPortKind = settings.nPortKind;
    // Silent mode is known before anything can show a box: a box nobody answers would
    // hold a silent start (an installer, a remote session) for ever.
    CommandLineOptions options = ParseCommandLine(commandLine);
    if (options.bSilent) theApp.SetFlags(UF_SILENT);
    theApp.nInitialPortKind = options.nInitialPortKind;
    ResetModelTable(ModelTable);
    SetMessageBox(&frontEnd);
    SetSilentModeQuery(&QuerySilent);
    // The file is begun afresh only once this run holds the instance lock: a second start
    // must never remove the running update's record.
    LogSetupPending(LOG_PROGRAM_MASK, ProgramLogName().c_str());

    if (LoadConfigFile(ModelTable) < 0) {
        // The loader has shown (or, silently, logged) the error. Nothing is written back,
        // and the start failed.
        theApp.nExitCode = ERROR_BAD_CONFIGURATION;
        LogBegin(LogStart::Append);
        int nStatus = FinishWith(theApp.nExitCode);
        DetachFrontEnd();
        return nStatus;
    }
    if (settings.dwForceUpdate != 0) theApp.SetFlags(UF_FORCE_UPDATE);
    LogMessage(LOG_APP, 'I', __LINE__, 0, "[[[ Launches F/W Update Program ]]]");

    std::string failedLock;
    if (!CheckSingleInstance(frontEnd, &failedLock)) {
        {
            LastErrorGuard keep;
            LogBegin(LogStart::Append);
        }
        theApp.nExitCode = RefuseStart(GetLastError(), failedLock);
        int nStatus = FinishWith(theApp.nExitCode);
        DetachFrontEnd();
        return nStatus;
    }

    LogBegin(LogStart::Fresh);

    frontEnd.RunMainWindow(theApp);

    WriteBackSettings();
    theApp.tables.Clear();
    theApp.hMachineLock.Release();
    theApp.hMutex.Release();
    int nStatus = FinishWith(theApp.nExitCode);
    LogMessage(LOG_APP, 'I', __LINE__, 0, "[[[ Close Kelvo ]]]");
    LogFlush();
    ResetModelTable(ModelTable);
    DetachFrontEnd();
    return nStatus;
}

void WriteBackSettings() {
    const std::string settingsPath = SettingsFilePath(theApp.strProgramName);
    if (!WriteSettings(settingsPath, theApp.strTargetName, theApp.nIpAddr, theApp.nLastPortKind)) {
        LogMessage(LOG_WARNING, 'W', __LINE__, GetLastError(), "Settings not saved [%s]", settingsPath.c_str());
    }
}

std::string KelvoCaption() {
    int nTypeId = theApp.nTypeId;
    if (nTypeId <= 0 || static_cast<std::size_t>(nTypeId) >= MODEL_TABLE_SIZE) return KELVO_CAPTION;
    std::string caption = StrPrintf("%s [ %s ]", KELVO_CAPTION, Utf8Sanitize(ModelTable[nTypeId].pszModelName).c_str());
    return std::string(Utf8Prefix(caption, CAPTION_MAX));
}

BOOL UpdateCaption(IDialogHost& dialog) {
    dialog.SetCaption(KelvoCaption());
    return TRUE;
}

BOOL LoadFirmwareFile() {
    int nTypeId = theApp.nTypeId;
    BOOL bResult = LoadFirmwareFile(theApp.tables, &nTypeId);
    theApp.nTypeId = nTypeId;
    return bResult;
}

BOOL LoadDataFiles() { return LoadDataFiles(theApp.tables); }
