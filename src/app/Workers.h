#pragma once
// The dialog's view of the update engine's two worker threads (initialisation and update
// run). The program plugs in the engine; tests plug in scripted workers.
#include <functional>

#include "platform/Event.h"
#include "platform/Types.h"
#include "ui/DialogHost.h"

class IUpdateWorkers {
public:
    virtual ~IUpdateWorkers() = default;

    // Starts the initialisation thread. setupKinds is the dialog's connection-kind set-up,
    // which the thread calls once the update files are loaded. FALSE with the last error
    // when no thread could start. Main thread.
    virtual BOOL StartInitialize(IDialogHost& host, std::function<BOOL()> setupKinds) = 0;
    // Starts an update run (bRetry: the retry run after WM_APP_RETRY) once the previous
    // worker has ended; a first run clears UF_CANCEL, UF_RETRY and UF_RETRY_REQUESTED, a
    // retry run clears UF_RETRY_REQUESTED and sets UF_RETRY. FALSE with the last error
    // when no thread could start. Main thread.
    virtual BOOL StartUpdate(IDialogHost& host, bool bRetry) = 0;
    // Waits up to dwTimeout ms for the running worker: WAIT_OBJECT_0 when it has ended
    // (or none runs), WAIT_TIMEOUT otherwise. Main thread.
    virtual DWORD Wait(DWORD dwTimeout) = 0;
};

// The engine's workers; null when this build has no update engine.
IUpdateWorkers* EngineWorkers();
