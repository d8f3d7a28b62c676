#include "cli/EngineLink.h"

#include "platform/WinError.h"
#include "ui/Util.h"

namespace {

// The initialisation the desktop dialog starts: update files, caption, connection kinds.
DWORD InitializeFromFiles(CCliSession& session) {
    if (!LoadFirmwareFile() || !LoadDataFiles()) return ERROR_FILE_NOT_FOUND;
    if (!UpdateCaption(session) || !session.SetupConnectionKinds()) return ERROR_INVALID_PRINTER_NAME;
    return ERROR_SUCCESS;
}

DWORD RunWithoutEngine(CCliSession&) {
    ShowMessage(MB_ICONERROR, IDOK, "This build has no update engine.");
    return ERROR_NOT_SUPPORTED;
}

}  // namespace

CliWorkers EngineWorkers() { return CliWorkers{InitializeFromFiles, RunWithoutEngine}; }
