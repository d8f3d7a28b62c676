// The two worker threads: loading the update files, and one update run in its order.
#include "engine/Thread.h"

#include "config/ConfigFile.h"
#include "engine/RunRules.h"
#include "engine/Steps.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Thread.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/ComConf.h"
#include "ui/Launch.h"
#include "ui/StringTable.h"
#include "ui/Util.h"

namespace {

constexpr DWORD LOC_NO_KIND = 0x050901;
constexpr DWORD LOC_KIND_NOT_OFFERED = 0x050902;
constexpr DWORD ERROR_SHOWN_NO_KIND = ERROR_MADE_UP | 1168;  // 0x20000490

Thread g_worker;
EngineHooks g_hooks;

BOOL SetupConnectionKinds(IDialogHost& host) {
    if (g_hooks.setupConnectionKinds) return g_hooks.setupConnectionKinds(host);
    return DefaultSetupConnectionKinds();
}

void OpenHelpPage(const char* pszPage) {
    std::string url = SupportPageUrl(pszPage);
    if (g_hooks.launchUrl) {
        g_hooks.launchUrl(url.c_str());
    } else {
        LaunchUrl(url.c_str());
    }
}

void ShowBusy(IDialogHost& host, DWORD dwStatusId) {
    if (theApp.TestFlags(UF_SILENT)) return;
    host.SetControlText(IDC_STATUS_TEXT, LoadResString(dwStatusId));
    host.SetControlText(IDC_PROGRESS_TEXT, "");
    host.SetBusyLayout(true);
}

void ShowFirmwareCurrent() {
    int nTypeId = theApp.nTypeId;
    bool bFirmware = nTypeId >= 0 && static_cast<std::size_t>(nTypeId) < UPDATE_TABLE_SIZE &&
                     theApp.tables.FW[nTypeId].bLoaded;
    if (bFirmware) {
        ShowMessage(MB_OK, IDOK, LoadResString(IDS_FW_ALREADY_VERSION).c_str(), FwVersionText().c_str());
    } else {
        ShowMessage(MB_OK, IDOK, "%s", LoadResString(IDS_NO_NEED_TO_UPDATE).c_str());
    }
}

// Firmware transfer, restart wait and verification.
DWORD UpdateFirmware(IDialogHost& host, std::string* pPortName, HSDK* phSdk) {
    ShowBusy(host, IDS_UPDATING_FIRMWARE);
    DWORD dwResult = SendFirmware(&host, *phSdk);
    if (dwResult == ERROR_SUCCESS) dwResult = WaitForRestart(&host, pPortName, phSdk, TRUE);
    if (dwResult == ERROR_SUCCESS) dwResult = VerifyFirmware(&host, phSdk);
    return dwResult;
}

// Each kind of the mask in table order: sent, then checked.
DWORD UpdateDataKinds(IDialogHost& host, const std::string& portName, HSDK* phSdk, DWORD dwMask) {
    int nTypeId = theApp.nTypeId;
    if (nTypeId < 0 || static_cast<std::size_t>(nTypeId) >= UPDATE_TABLE_SIZE) return ERROR_SUCCESS;
    for (const DataKindInfo& info : DATA_KINDS) {
        if ((dwMask & info.dwKind) == 0) continue;
        const UpdateDataEntry& entry = (theApp.tables.*info.pTable)[nTypeId];
        if (!entry.bLoaded) continue;
        theApp.pCurrentEntry = &entry;
        ShowBusy(host, IDS_UPDATING_FIRMWARE);
        DWORD dwResult = SendDataKind(phSdk, &host, portName);
        if (dwResult == ERROR_SUCCESS) dwResult = VerifyDataChecksum(info.dwKind, *phSdk);
        if (dwResult != ERROR_SUCCESS) return dwResult;
    }
    return ERROR_SUCCESS;
}

// A check run: what identification found decides what would be sent; nothing is.
DWORD CheckOnly(HSDK hSdk) {
    theApp.wouldSend.clear();
    const int nTypeId = theApp.nTypeId;
    if (nTypeId < 0 || static_cast<std::size_t>(nTypeId) >= UPDATE_TABLE_SIZE) return ERROR_ALREADY_REGISTERED;
    if (!theApp.TestFlags(UF_NO_FW_UPDATE) && theApp.tables.FW[nTypeId].bLoaded) {
        theApp.wouldSend.push_back(&theApp.tables.FW[nTypeId]);
    }
    DWORD dwMask = 0;
    DWORD r = SelectDataUpdates(hSdk, &dwMask);
    if (r != ERROR_SUCCESS && r != ERROR_ALREADY_REGISTERED) return r;
    for (const DataKindInfo& info : DATA_KINDS) {
        const UpdateDataEntry& entry = (theApp.tables.*info.pTable)[nTypeId];
        if ((dwMask & info.dwKind) != 0 && entry.bLoaded) theApp.wouldSend.push_back(&entry);
    }
    return theApp.wouldSend.empty() ? ERROR_ALREADY_REGISTERED : ERROR_SUCCESS;
}

// The steps between opening and closing the port; the log starts afresh only when no
// step failed.
DWORD RunSteps(IDialogHost& host, std::string* pPortName, HSDK* phSdk) {
    theApp.ClearFlags(FlagsClearedAtRunStart(theApp.dwUpdateFlags.load()));
    theApp.checksumsRead.clear();
    DWORD dwResult = ERROR_SUCCESS;
    if (theApp.TestFlags(UF_RETRY)) {
        // A retry run reconnects to a printer that may sit in its boot loader.
        dwResult = WaitForRestart(&host, pPortName, phSdk, FALSE);
        if (dwResult != ERROR_SUCCESS) return dwResult;
        ReadOnceAfterReconnect(*phSdk);
    } else {
        dwResult = IdentifyDevice(pPortName, phSdk, &host, IdentifyTimeLimit(theApp.nPortKind));
        if (dwResult != ERROR_SUCCESS && dwResult != ERROR_ALREADY_REGISTERED) return dwResult;
        if (theApp.TestFlags(UF_CHECK_ONLY)) return CheckOnly(*phSdk);
    }
    if (!theApp.TestFlags(UF_NO_FW_UPDATE)) {
        dwResult = UpdateFirmware(host, pPortName, phSdk);
        if (dwResult != ERROR_SUCCESS) return dwResult;
    }
    DWORD dwMask = 0;
    DWORD r = SelectDataUpdates(*phSdk, &dwMask);
    DataSelectionOutcome outcome = ApplyDataSelection(dwResult, r, theApp.dwUpdateFlags.load());
    if (outcome.bShowCurrent) ShowFirmwareCurrent();
    dwResult = outcome.dwResult;
    if (outcome.bEndRun) return dwResult;
    if (!theApp.TestFlags(UF_NO_DATA_UPDATE)) {
        DWORD dwData = UpdateDataKinds(host, *pPortName, phSdk, dwMask);
        if (dwData != ERROR_SUCCESS) return dwData;
    }
    LogSetup(LOG_PROGRAM_MASK, ProgramLogName().c_str());
    return dwResult;
}

void WaitForLastWorker(const char* pszNote) {
    if (!g_worker.Attached()) return;
    LogMessage(LOG_APP, 'I', __LINE__, 0, "%s", pszNote);
    g_worker.WaitForEnd(INFINITE);
}

}  // namespace

void SetEngineHooks(EngineHooks hooks) { g_hooks = std::move(hooks); }

BOOL DefaultSetupConnectionKinds() {
    int nTypeId = theApp.nTypeId;
    if (nTypeId < 0 || static_cast<std::size_t>(nTypeId) >= MODEL_TABLE_SIZE) nTypeId = 0;
    const DWORD dwInterfaces = ModelTable[nTypeId].dwInterfaces;
    if (!theApp.TestFlags(UF_SILENT)) {
        for (int nKind = 0; nKind < static_cast<int>(PORT_KIND_COUNT); ++nKind) {
            if (dwInterfaces & (1u << nKind)) {
                theApp.nInitialPortKind = nKind;
                return TRUE;
            }
        }
        ShowError(LOC_NO_KIND, ERROR_SHOWN_NO_KIND, "%s", LoadResString(IDS_CONFIG_NO_PORT).c_str());
        return FALSE;
    }
    int nKind = theApp.nInitialPortKind;
    if (nKind >= 0 && nKind < static_cast<int>(PORT_KIND_COUNT) && (dwInterfaces & (1u << nKind))) return TRUE;
    ShowError(LOC_KIND_NOT_OFFERED, ERROR_SHOWN_NO_KIND, "%s", LoadResString(IDS_PORT_NOT_SUPPORTED).c_str());
    return FALSE;
}

DWORD InitializeUpdate(IDialogHost& host) {
    host.EnableDialog(false);
    DWORD dwResult = ERROR_SUCCESS;
    if (!LoadFirmwareFile() || !LoadDataFiles()) {
        dwResult = ERROR_FILE_NOT_FOUND;
    } else if (!UpdateCaption(host) || !SetupConnectionKinds(host)) {
        dwResult = ERROR_INVALID_PRINTER_NAME;
    }
    const bool bSilent = theApp.TestFlags(UF_SILENT);
    if (dwResult == ERROR_SUCCESS) {
        host.EnableDialog(true);
        if (bSilent) host.PostSelect();
        return ERROR_SUCCESS;
    }
    theApp.nExitCode = dwResult;
    if (bSilent) {
        Sleep(2000);
        host.PostClose();
    } else {
        host.EnableDialog(true);
    }
    return dwResult;
}

DWORD RunUpdate(IDialogHost& host) {
    std::string portName = theApp.szPortName;
    HSDK hSdk = 0;
    DWORD dwResult = ERROR_SUCCESS;
    LogMessage(LOG_APP, 'I', 34, 0, "Enter update thread...");
    const bool bSilent = theApp.TestFlags(UF_SILENT);
    if (!bSilent) {
        host.SetControlText(IDC_STATUS_TEXT, LoadResString(IDS_PREPARING));
        host.SetControlText(IDC_PROGRESS_TEXT, "");
        host.SetBusyLayout(true);
    }
    LogMessage(LOG_APP, 'I', 89, 0, "Open port [%s]\n", portName.c_str());
    if (portName.size() > RUN_PORT_NAME_MAX) {
        // Cutting the name could reach another port: such a name is refused.
        dwResult = ERROR_FILENAME_EXCED_RANGE;
        LogMessage(LOG_ERROR, 'E', __LINE__, dwResult, "Port name too long [%zu]", portName.size());
    } else {
        dwResult = OpenRunPort(&portName, &hSdk);
        if (dwResult == ERROR_SUCCESS) dwResult = RunSteps(host, &portName, &hSdk);
    }
    // The one close of the run, also after a failed open: it starts the services again.
    CloseRunPort(hSdk);

    if (theApp.TestFlags(UF_CANCEL)) {
        theApp.ClearFlags(UF_CANCEL);
        LogMessage(LOG_APP, 'I', __LINE__, dwResult, "\n***  Cancelled updating  ***\n");
    } else {
        ReportResult(dwResult, host);
    }
    const bool bRetry = theApp.TestFlags(UF_RETRY);
    const bool bRetryRequested = theApp.TestFlags(UF_RETRY_REQUESTED);
    if (bRetry || !bRetryRequested) host.RestoreAfterRun();
    theApp.nExitCode = dwResult;
    if (bSilent) {
        Sleep(1000);
        if (dwResult != ERROR_SUCCESS) Sleep(1000);
        host.PostClose();
    }
    if (bRetry) {
        if (bRetryRequested) OpenHelpPage(HELP_PAGE_BOOT_MODE);
    } else if (bRetryRequested) {
        host.SetControlText(IDC_PROGRESS_TEXT, "");
        host.PostRetry();
    }
    RunComConfigStep(&ResetComConfig);
    // The run's record is whole in the file when the run is over.
    LogFlush();
    return dwResult;
}

void ReportResult(DWORD dwResult, IDialogHost& host) {
    (void)host;
    if (dwResult == ERROR_CANCELLED) {
        theApp.ClearFlags(UF_CANCEL);
        return;
    }
    if (dwResult != ERROR_SUCCESS || theApp.TestFlags(UF_CHECK_ONLY)) return;
    if (SuccessMessageId(theApp.dwUpdateFlags.load()) == IDS_FW_UPDATE_SUCCEEDED) {
        ShowMessage(MB_ICONINFORMATION, IDOK, "%s", LoadResString(IDS_FW_UPDATE_SUCCEEDED).c_str());
    } else {
        ShowMessage(MB_ICONINFORMATION, IDOK, LoadResString(IDS_FW_UPDATE_SUCCEEDED_VERSION).c_str(),
                    FwVersionText().c_str());
    }
}

BOOL StartInitializeThread(IDialogHost& host) {
    WaitForLastWorker("Wait for last thread...");
    return g_worker.Start([&host] { InitializeUpdate(host); });
}

BOOL StartUpdateThread(IDialogHost& host, bool bRetry) {
    if (!bRetry) {
        theApp.ClearFlags(UF_CANCEL | UF_RETRY | UF_RETRY_REQUESTED);
        WaitForLastWorker("Wait for last thread...");
    } else {
        WaitForLastWorker("Wait for last thread before retrying...");
        // One read-modify-write: the flag word never shows both or neither.
        DWORD dwOld = theApp.dwUpdateFlags.load();
        while (!theApp.dwUpdateFlags.compare_exchange_weak(dwOld, (dwOld & ~UF_RETRY_REQUESTED) | UF_RETRY)) {
        }
    }
    LogMessage(LOG_APP, 'I', __LINE__, 0, bRetry ? "Create update thread for retrying..." : "Create update thread...");
    return g_worker.Start([&host] { RunUpdate(host); });
}

DWORD WaitForWorker(DWORD dwTimeout) { return g_worker.WaitForEnd(dwTimeout); }

bool WorkerRunning() { return g_worker.Attached() && !g_worker.HasEnded(); }
