#pragma once
// The engine's two worker bodies as the terminal session runs them.
#include "cli/CliSession.h"

CliWorkers EngineWorkers();
