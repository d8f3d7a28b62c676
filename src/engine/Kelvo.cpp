#include "engine/Kelvo.h"

#include "config/ConfigFile.h"
#include "engine/CommandLine.h"
#include "engine/Settings.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/WinError.h"
#include "ui/Util.h"

CKelvoApp theApp;

namespace {

bool QuerySilent() noexcept { return theApp.TestFlags(UF_SILENT); }

// Ends the run with its result: the full code goes to the log, the exit status keeps
// what POSIX can carry.
int FinishWith(DWORD dwResult) {
    int nStatus = ExitStatusFromResult(dwResult);
    LogMessage(LOG_APP, 'I', __LINE__, 0, "Result code [%u], exit status [%d]", dwResult, nStatus);
    return nStatus;
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
    nExitCode = 0;
    dwUpdateFlags = 0;
    nPortKind = PORT_KIND_USB;
    nTypeId = 0;
    hMutex.Release();
    nInitialPortKind = PORT_KIND_USB;
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

BOOL CheckSingleInstance(IFrontEnd& frontEnd) {
    if (theApp.hMutex.Acquire(InstanceLockPath())) return TRUE;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        LastErrorGuard keep;
        frontEnd.RaiseFirstInstance();
    }
    return FALSE;
}

int RunKelvo(IFrontEnd& frontEnd, std::string_view commandLine, const std::string& strProgramName) {
    theApp.strProgramName = strProgramName;
    const std::string settingsPath = SettingsFilePath(strProgramName);
    KelvoSettings settings = ReadSettings(settingsPath);
    theApp.strTargetName = settings.strTargetName;
    theApp.nIpAddr = settings.nIpAddr;

    theApp.Reset();
    ResetModelTable(ModelTable);
    SetMessageBox(&frontEnd);
    SetSilentModeQuery(&QuerySilent);
    LogSetup(LOG_PROGRAM_MASK, LOG_PROGRAM_NAME);

    if (LoadConfigFile(ModelTable) < 0) {
        // The loader has shown the error. Nothing is written back, and the start failed.
        theApp.nExitCode = ERROR_BAD_CONFIGURATION;
        int nStatus = FinishWith(theApp.nExitCode);
        DetachFrontEnd();
        return nStatus;
    }
    if (settings.dwForceUpdate != 0) theApp.SetFlags(UF_FORCE_UPDATE);
    LogMessage(LOG_APP, 'I', __LINE__, 0, "[[[ Launches F/W Update Program ]]]");

    if (!CheckSingleInstance(frontEnd)) {
        DWORD dwError = GetLastError();
        // A second instance is the normal way out; a lock that cannot be made is a
        // failed start.
        theApp.nExitCode = dwError == ERROR_ALREADY_EXISTS ? ERROR_SUCCESS : dwError;
        if (dwError != ERROR_ALREADY_EXISTS) {
            LogMessage(LOG_ERROR, 'E', __LINE__, dwError, "Instance lock failed [%s]", InstanceLockPath().c_str());
        }
        int nStatus = FinishWith(theApp.nExitCode);
        DetachFrontEnd();
        return nStatus;
    }

    CommandLineOptions options = ParseCommandLine(commandLine);
    if (options.bSilent) theApp.SetFlags(UF_SILENT);
    theApp.nInitialPortKind = options.nInitialPortKind;

    frontEnd.RunMainWindow(theApp);

    if (!WriteSettings(settingsPath, theApp.strTargetName, theApp.nIpAddr)) {
        LogMessage(LOG_WARNING, 'W', __LINE__, GetLastError(), "Settings not saved [%s]", settingsPath.c_str());
    }
    theApp.tables.Clear();
    theApp.hMutex.Release();
    int nStatus = FinishWith(theApp.nExitCode);
    LogMessage(LOG_APP, 'I', __LINE__, 0, "[[[ Close Kelvo ]]]");
    ResetModelTable(ModelTable);
    DetachFrontEnd();
    return nStatus;
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
