// A build without the update engine: the dialog runs no worker.
#include "app/Workers.h"

IUpdateWorkers* EngineWorkers() { return nullptr; }
