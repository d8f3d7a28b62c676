// The update engine's worker threads behind the dialog's seam.
#include "app/Workers.h"
#include "engine/Thread.h"

namespace {

class CEngineWorkers : public IUpdateWorkers {
public:
    BOOL StartInitialize(IDialogHost& host, std::function<BOOL()> setupKinds) override {
        EngineHooks hooks;
        hooks.setupConnectionKinds = [setup = std::move(setupKinds)](IDialogHost&) { return setup(); };
        SetEngineHooks(std::move(hooks));
        return StartInitializeThread(host);
    }
    BOOL StartUpdate(IDialogHost& host, bool bRetry) override { return StartUpdateThread(host, bRetry); }
    DWORD Wait(DWORD dwTimeout) override { return WaitForWorker(dwTimeout); }
};

}  // namespace

IUpdateWorkers* EngineWorkers() {
    static CEngineWorkers workers;
    return &workers;
}
