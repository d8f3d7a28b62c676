// The update engine's worker threads behind the dialog's seam.
#include "app/Workers.h"
#include "engine/Thread.h"

namespace {

class CEngineWorkers : public IUpdateWorkers {
public:
    BOOL StartInitialize(IDialogHost& host, WorkerHooks hooks) override {
        EngineHooks engine;
        engine.setupConnectionKinds = [setup = std::move(hooks.setupKinds)](IDialogHost&) { return setup(); };
        engine.launchUrl = std::move(hooks.launchUrl);
        SetEngineHooks(std::move(engine));
        return StartInitializeThread(host);
    }
    BOOL StartUpdate(IDialogHost& host, bool bRetry) override { return StartUpdateThread(host, bRetry); }
    DWORD Wait(DWORD dwTimeout) override { return WaitForWorker(dwTimeout); }
    void RestoreMachine() override { RestoreMachineAfterInterrupt(); }
    TransferInfo TransferUnderWay() override { return ::TransferUnderWay(); }
    std::optional<DWORD> WaitLeft() override { return UncancellableWaitLeft(); }
};

}  // namespace

IUpdateWorkers* EngineWorkers() {
    static CEngineWorkers workers;
    return &workers;
}
