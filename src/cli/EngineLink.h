#pragma once
// The engine as the terminal session runs it: its two worker bodies, and the hooks
// through which it asks the front end for the connection kind and a help page.
#include "cli/CliSession.h"

CliWorkers EngineWorkers();
// Points the engine's hooks at the session. Main thread, before the session runs.
void InstallEngineHooks(CCliSession& session);
