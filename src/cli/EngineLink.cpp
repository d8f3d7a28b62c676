#include "cli/EngineLink.h"

#include "engine/Thread.h"

CliWorkers EngineWorkers() {
    return CliWorkers{
        [](CCliSession& session) { return InitializeUpdate(session); },
        [](CCliSession& session) { return RunUpdate(session); },
        [] { return FwVersionText(); },
        [] { return TakeRomIdAnswer(); },
        [] { return CancelWaitText(); },
        [] { RestoreMachineAfterInterrupt(); },
        [](int nKind, const std::string& port, std::vector<std::string>* pNotes) {
            return CheckBeforeConnecting(nKind, port, pNotes);
        },
        [] { return PrinterDeviceId(); },
        [] { return UncancellableWaitLeft(); },
    };
}

void InstallEngineHooks(CCliSession& session) {
    EngineHooks hooks;
    hooks.setupConnectionKinds = [&session](IDialogHost&) { return session.SetupConnectionKinds(); };
    hooks.launchUrl = [&session](const char* pszUrl) { return session.ShowHelpPage(pszUrl); };
    SetEngineHooks(std::move(hooks));
    SetUsbDiscovery(&ProgramUsbDiscovery());
}
