#pragma once
// The dialog's view of the update engine's two worker threads (initialisation and update
// run). The program plugs in the engine; tests plug in scripted workers.
#include <functional>
#include <optional>

#include "platform/Event.h"
#include "platform/Types.h"
#include "ui/DialogHost.h"
#include "ui/ProgressSteps.h"

// What the workers call back into the dialog for.
struct WorkerHooks {
    // The dialog's connection-kind set-up, called by the initialisation thread once the
    // update files are loaded.
    std::function<BOOL()> setupKinds;
    // Opens a help page (full address) in the browser; called by the update thread.
    std::function<BOOL(const char* pszUrl)> launchUrl;
};

class IUpdateWorkers {
public:
    virtual ~IUpdateWorkers() = default;

    // Installs the hooks and starts the initialisation thread. FALSE with the last error
    // when no thread could start. Main thread.
    virtual BOOL StartInitialize(IDialogHost& host, WorkerHooks hooks) = 0;
    // Starts an update run (bRetry: the retry run after WM_APP_RETRY) once the previous
    // worker has ended; a first run clears UF_CANCEL, UF_RETRY and UF_RETRY_REQUESTED, a
    // retry run clears UF_RETRY_REQUESTED and sets UF_RETRY. FALSE with the last error
    // when no thread could start. Main thread.
    virtual BOOL StartUpdate(IDialogHost& host, bool bRetry) = 0;
    // Waits up to dwTimeout ms for the running worker: WAIT_OBJECT_0 when it has ended
    // (or none runs), WAIT_TIMEOUT otherwise. Main thread.
    virtual DWORD Wait(DWORD dwTimeout) = 0;
    // Starts again the services the running update stopped and restores the serial
    // defaults it changed, while the worker may still run: the program is about to end
    // without waiting for it. Main thread.
    virtual void RestoreMachine() {}
    // The transfer the running update sends now (empty: not known). Called on the worker
    // thread, from within its progress text.
    virtual TransferInfo TransferUnderWay() { return {}; }
    // How long the wait the run now sits out may still take, in ms (none: no such wait).
    // Main thread.
    virtual std::optional<DWORD> WaitLeft() { return std::nullopt; }
};

// The engine's workers; null when this build has no update engine.
IUpdateWorkers* EngineWorkers();
