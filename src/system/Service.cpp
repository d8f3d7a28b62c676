#include "system/Service.h"

#include <vector>

#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "system/Printers.h"
#include "system/StoppedUnits.h"
#include "system/System.h"
#include "system/SystemdManager.h"

namespace {

enum class UnitState { Running, Stopped, Changing };

UnitState ClassifyActiveState(const std::string& state) {
    if (state == "active" || state == "reloading") return UnitState::Running;
    if (state == "inactive" || state == "failed") return UnitState::Stopped;
    return UnitState::Changing;
}

// An error line with the failure's last error (a macro for the caller's __LINE__).
#define KELVO_SERVICE_ERROR(...) LogMessage(LOG_ERROR, 'E', __LINE__, GetLastError(), __VA_ARGS__)

// cups.socket and cups.path start cupsd again at the next client request; the spooler is
// stopped only with them, and they are started with it. Best effort: a failure is a
// warning, and the last error of the spooler's own control is kept.
void ControlSpoolerTriggers(BOOL bStart) noexcept {
    LastErrorGuard keep;
    CSystemdManager manager;
    std::string path;
    std::vector<std::string> triggers;
    if (!manager.Connect() || !manager.FindUnit(kSpoolerUnit, &path) || !manager.GetTriggeredBy(path, &triggers))
        return;
    for (const std::string& trigger : triggers) {
        if (!(bStart ? manager.StartUnit(trigger) : manager.StopUnit(trigger))) {
            LogMessage(LOG_WARNING, 'W', __LINE__, GetLastError(), "[comm] SpoolerControl %s(%s)",
                       bStart ? "StartUnit" : "StopUnit", trigger.c_str());
        } else if (bStart) {
            NoteUnitStarted(trigger);
        } else {
            NoteUnitStopped(trigger);
        }
    }
}

bool IsCancelled(const ServiceLimits& limits) noexcept {
    return limits.pfnCancelled != nullptr && limits.pfnCancelled();
}

BOOL ReportCancel(const std::string& unit) noexcept {
    LogMessage(LOG_WARNING, 'W', __LINE__, ERROR_CANCELLED, "[comm] SeviceControl cancelled [%s]", unit.c_str());
    SetLastError(ERROR_CANCELLED);
    return FALSE;
}

// SeviceControl for a unit name; *pbRequested tells whether systemd took a start or
// stop request from this call.
BOOL ControlUnit(BOOL bStart, const std::string& unit, const ServiceLimits& limits, bool* pbRequested) noexcept {
    *pbRequested = false;
    CSystemdManager manager;
    if (!manager.Connect()) {
        KELVO_SERVICE_ERROR("[comm] SeviceControl OpenSCManager()");
        return FALSE;
    }
    std::string path;
    if (!manager.FindUnit(unit, &path)) {
        KELVO_SERVICE_ERROR("[comm] SeviceControl OpenService(%s)", unit.c_str());
        return FALSE;
    }
    std::string state;
    if (!manager.GetActiveState(path, &state)) {
        KELVO_SERVICE_ERROR("[comm] SeviceControl QueryServiceStatus()");
        return FALSE;
    }

    Deadline deadline(limits.dwServiceTimeout);
    do {
        if (!manager.GetActiveState(path, &state)) {
            KELVO_SERVICE_ERROR("[comm] SeviceControl QueryServiceStatus");
            return FALSE;
        }
        UnitState now = ClassifyActiveState(state);
        if (bStart) {
            if (now == UnitState::Running) {
                NoteUnitStarted(unit);
                LogMessage(LOG_APP, 'I', __LINE__, ERROR_SUCCESS, "[comm] SeviceControl running [%s]", unit.c_str());
                return TRUE;
            }
            // A start is asked for even when the caller gave up: a unit left stopped
            // is worse than a wait cut short.
            if (!*pbRequested) {
                if (!manager.StartUnit(unit)) {
                    KELVO_SERVICE_ERROR("[comm] SeviceControl StartService()");
                    return FALSE;
                }
                NoteUnitStarted(unit);
            }
        } else {
            if (now == UnitState::Stopped) {
                LogMessage(LOG_APP, 'I', __LINE__, ERROR_SUCCESS, "[comm] SeviceControl stoped [%s]", unit.c_str());
                return TRUE;
            }
            if (!*pbRequested && IsCancelled(limits)) return ReportCancel(unit);
            if (!*pbRequested) {
                if (!manager.StopUnit(unit)) {
                    KELVO_SERVICE_ERROR("[comm] SeviceControl ControlService()");
                    return FALSE;
                }
                NoteUnitStopped(unit);
            }
        }
        *pbRequested = true;
        if (IsCancelled(limits)) return ReportCancel(unit);
        Sleep(limits.dwServicePoll);
    } while (!deadline.Expired());

    LogMessage(LOG_ERROR, 'E', __LINE__, ERROR_TIMEOUT, "[comm] SeviceControl [Timeout:%dms]",
               static_cast<int>(limits.dwServiceTimeout));
    SetLastError(ERROR_TIMEOUT);
    return FALSE;
}

}  // namespace

std::string ServiceUnitName(std::string_view serviceName) {
    if (AsciiEqualNoCase(serviceName, "Spooler")) return kSpoolerUnit;
    if (serviceName.find('.') == std::string_view::npos) return std::string(serviceName) + ".service";
    return std::string(serviceName);
}

BOOL SeviceControl(BOOL bStart, const char* pszServiceName, const ServiceLimits& limits) noexcept {
    bool bRequested = false;
    return ControlUnit(bStart, ServiceUnitName(pszServiceName != nullptr ? pszServiceName : ""), limits, &bRequested);
}

BOOL SpoolerControl(BOOL bStart, const char* pszPortName, const ServiceLimits& limits) noexcept {
    if (!bStart && IsCancelled(limits)) return ReportCancel(kSpoolerUnit);
    if (!bStart && pszPortName != nullptr && !IsPrinterOnPort(pszPortName)) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    // The LPD service that Windows XP needed stopped too has no counterpart here.
    if (!bStart) {
        ControlSpoolerTriggers(FALSE);
        return SeviceControl(FALSE, kSpoolerUnit, limits);
    }
    bool bRequested = false;
    BOOL bResult = ControlUnit(TRUE, kSpoolerUnit, limits, &bRequested);
    DWORD dwServiceError = GetLastError();
    ControlSpoolerTriggers(TRUE);
    if (dwServiceError == ERROR_CANCELLED) return FALSE;

    // Only a spooler that systemd is starting is worth waiting for. Without a start
    // (running already, or no unit to start) one look tells whether a server answers.
    Deadline deadline(bRequested ? limits.dwSpoolerTimeout : 0);
    for (;;) {
        DWORD dwLeft = bRequested ? deadline.Remaining() : limits.dwSpoolerPoll;
        if (CupsServerAnswers(dwLeft > 0 ? dwLeft : 1)) return TRUE;
        if (deadline.Expired()) break;
        if (IsCancelled(limits)) {
            ReportCancel(kSpoolerUnit);
            return FALSE;
        }
        Sleep(limits.dwSpoolerPoll);
    }
    KELVO_SERVICE_ERROR("[comm] Spooler service is invalid!!");
    if (!bResult) SetLastError(dwServiceError);
    return bResult;
}

BOOL PosServiceControl(BOOL bStart, const ServiceLimits& limits) noexcept {
    return SeviceControl(bStart, kPosServiceUnit, limits);
}

void CompetingServicesControl(BOOL bStart) noexcept {
    SpoolerControl(bStart, nullptr);
    PosServiceControl(bStart);
}

std::vector<OrphanedUnits> StartOrphanedUnits() noexcept {
    std::vector<OrphanedUnits> started;
    try {
        for (OrphanedUnits& orphan : TakeOrphanedUnits()) {
            OrphanedUnits done{orphan.pid, {}};
            bool bSpooler = false;
            for (const std::string& unit : orphan.units) {
                // Only what an update stops: a record is never a way to start anything else.
                bool bTrigger = unit == "cups.socket" || unit == "cups.path";
                if (unit == kSpoolerUnit || bTrigger) {
                    bSpooler = true;
                } else if (unit == kPosServiceUnit) {
                    PosServiceControl(TRUE);
                } else {
                    continue;
                }
                LogMessage(LOG_APP, 'I', __LINE__, 0, "Starting [%s] again, stopped by process [%d] that has ended",
                           unit.c_str(), static_cast<int>(orphan.pid));
                done.units.push_back(unit);
            }
            if (bSpooler) SpoolerControl(TRUE, nullptr);
            if (!done.units.empty()) started.push_back(std::move(done));
        }
    } catch (...) {
    }
    return started;
}
