// The one port of an update run and what surrounds it: competing services stopped, the
// serial defaults of the run applied; and the way back when the user quits in the middle.
#include <atomic>
#include <mutex>

#include "engine/Steps.h"
#include "engine/Thread.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/ComConf.h"
#include "system/Service.h"

namespace {

BOOL RunCancelled() noexcept { return theApp.TestFlags(UF_CANCEL) ? TRUE : FALSE; }

// The run's own service waits end when the user cancels; the start requests stand.
constexpr ServiceLimits kRunLimits{kServiceLimits.dwServiceTimeout, kServiceLimits.dwServicePoll,
                                   kServiceLimits.dwSpoolerTimeout, kServiceLimits.dwSpoolerPoll, &RunCancelled};
// After an interrupt the process is about to end: the starts are asked for in any case
// and waited for only briefly, so that quitting takes a few seconds at most.
constexpr ServiceLimits kRestoreLimits{2000, 100, 1000, 300, nullptr};
// How long the restore waits for a service or serial step of the run to give way (it
// was cancelled, so it ends within a poll unless the bus itself hangs).
constexpr DWORD kRestoreLockWait = 3000;
constexpr DWORD kRestoreLockPoll = 10;

// One service or serial-default step at a time: the run's, or the restore's.
std::mutex g_machineLock;
// The run asked services to stop and has not started them again.
std::atomic<bool> g_bServicesDown{false};
// RestoreMachineAfterInterrupt ran: from then on no run changes services or serial
// defaults, so nothing it restored is undone behind its back.
std::atomic<bool> g_bRestored{false};

void StartServices(const ServiceLimits& limits) noexcept {
    SpoolerControl(TRUE, nullptr, limits);
    PosServiceControl(TRUE, limits);
}

bool SerialRunWithRecord() noexcept {
    return theApp.nPortKind == static_cast<int>(PORT_KIND_SERIAL) && theApp.pComConfig;
}

}  // namespace

DWORD OpenRunPort(std::string* pPortName, HSDK* phSdk) noexcept {
    *phSdk = 0;
    // A port list line may carry a description after a TAB; the name ends at the first
    // one, so a description holding TABs of its own does not stay in the name.
    std::size_t tab = pPortName->find('\t');
    if (tab != std::string::npos) pPortName->resize(tab);
    if (theApp.TestFlags(UF_CANCEL)) return ERROR_CANCELLED;
    {
        std::lock_guard lock(g_machineLock);
        // A fleet parent has stopped them for all its runs, and starts them after the last.
        if (!g_bRestored && FleetChildPort().empty() && !theApp.TestFlags(UF_CHECK_ONLY)) {
            g_bServicesDown = true;
            SpoolerControl(FALSE, pPortName->c_str(), kRunLimits);
            PosServiceControl(FALSE, kRunLimits);
        }
    }
    RunComConfigStep(theApp.TestFlags(UF_RETRY) ? &PushComConfigAndDefault : &SetupComConfig);
    // A cancel during the service stops ends the run before the port is opened.
    if (theApp.TestFlags(UF_CANCEL)) return ERROR_CANCELLED;
    // The run's CloseRunPort starts the services again, also after a failed open.
    DWORD dwResult = ReopenPort(phSdk, theApp.nPortKind, *pPortName);
    if (dwResult != ERROR_SUCCESS) {
        *phSdk = 0;
        SetLastError(dwResult);
    }
    return dwResult;
}

void CloseRunPort(HSDK hSdk) noexcept {
    if (hSdk != 0) pfnClosePort(hSdk, 0);
    std::lock_guard lock(g_machineLock);
    if (g_bRestored || !FleetChildPort().empty() || theApp.TestFlags(UF_CHECK_ONLY)) return;
    StartServices(kRunLimits);
    g_bServicesDown = false;
}

void RunComConfigStep(void (*pfnStep)(ComConfigRecord&) noexcept) noexcept {
    if (!SerialRunWithRecord()) return;
    std::lock_guard lock(g_machineLock);
    if (!g_bRestored) pfnStep(*theApp.pComConfig);
}

void RestoreMachineAfterInterrupt() noexcept {
    // The run must not go on to change anything, and its waits must give way.
    theApp.SetFlags(UF_CANCEL);
    std::unique_lock lock(g_machineLock, std::defer_lock);
    // Polled: a timed lock would do, but the thread checker does not see those.
    for (Deadline wait(kRestoreLockWait); !lock.try_lock() && !wait.Expired();) Sleep(kRestoreLockPoll);
    const bool bLocked = lock.owns_lock();
    if (g_bRestored.exchange(true)) return;
    LogMessage(LOG_APP, 'I', __LINE__, 0, "Restoring services and serial defaults after an interrupt");
    if (g_bServicesDown.exchange(false)) StartServices(kRestoreLimits);
    // The record is the run's; without the lock it may be in use, and the serial
    // defaults live in this process only, so they end with it anyway.
    if (bLocked && SerialRunWithRecord()) ResetComConfig(*theApp.pComConfig);
}

void ResetRunPortForTest() noexcept {
    std::lock_guard lock(g_machineLock);
    g_bServicesDown = false;
    g_bRestored = false;
}
