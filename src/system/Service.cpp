#include "system/Service.h"

#include <vector>

#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "system/Printers.h"
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
        if (!(bStart ? manager.StartUnit(trigger) : manager.StopUnit(trigger)))
            LogMessage(LOG_WARNING, 'W', __LINE__, GetLastError(), "[comm] SpoolerControl %s(%s)",
                       bStart ? "StartUnit" : "StopUnit", trigger.c_str());
    }
}

}  // namespace

std::string ServiceUnitName(std::string_view serviceName) {
    if (AsciiEqualNoCase(serviceName, "Spooler")) return kSpoolerUnit;
    if (serviceName.find('.') == std::string_view::npos) return std::string(serviceName) + ".service";
    return std::string(serviceName);
}

BOOL SeviceControl(BOOL bStart, const char* pszServiceName, const ServiceLimits& limits) noexcept {
    const std::string unit = ServiceUnitName(pszServiceName != nullptr ? pszServiceName : "");
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
    bool bRequested = false;
    do {
        if (!manager.GetActiveState(path, &state)) {
            KELVO_SERVICE_ERROR("[comm] SeviceControl QueryServiceStatus");
            return FALSE;
        }
        UnitState now = ClassifyActiveState(state);
        if (bStart) {
            if (now == UnitState::Running) {
                LogMessage(LOG_APP, 'I', __LINE__, ERROR_SUCCESS, "[comm] SeviceControl running [%s]", unit.c_str());
                return TRUE;
            }
            if (!bRequested && !manager.StartUnit(unit)) {
                KELVO_SERVICE_ERROR("[comm] SeviceControl StartService()");
                return FALSE;
            }
        } else {
            if (now == UnitState::Stopped) {
                LogMessage(LOG_APP, 'I', __LINE__, ERROR_SUCCESS, "[comm] SeviceControl stoped [%s]", unit.c_str());
                return TRUE;
            }
            if (!bRequested && !manager.StopUnit(unit)) {
                KELVO_SERVICE_ERROR("[comm] SeviceControl ControlService()");
                return FALSE;
            }
        }
        bRequested = true;
        Sleep(limits.dwServicePoll);
    } while (!deadline.Expired());

    LogMessage(LOG_ERROR, 'E', __LINE__, ERROR_TIMEOUT, "[comm] SeviceControl [Timeout:%dms]",
               static_cast<int>(limits.dwServiceTimeout));
    return FALSE;
}

BOOL SpoolerControl(BOOL bStart, const char* pszPortName, const ServiceLimits& limits) noexcept {
    if (!bStart && pszPortName != nullptr && !IsPrinterOnPort(pszPortName)) {
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    // The LPD service that Windows XP needed stopped too has no counterpart here.
    if (!bStart) {
        ControlSpoolerTriggers(FALSE);
        return SeviceControl(FALSE, kSpoolerUnit, limits);
    }
    BOOL bResult = SeviceControl(TRUE, kSpoolerUnit, limits);
    ControlSpoolerTriggers(TRUE);

    DWORD dwServiceError = GetLastError();
    Deadline deadline(limits.dwSpoolerTimeout);
    for (;;) {
        DWORD dwLeft = deadline.Remaining();
        if (CupsServerAnswers(dwLeft > 0 ? dwLeft : 1)) return TRUE;
        if (deadline.Expired()) break;
        Sleep(limits.dwSpoolerPoll);
    }
    KELVO_SERVICE_ERROR("[comm] Spooler service is invalid!!");
    if (!bResult) SetLastError(dwServiceError);
    return bResult;
}

BOOL PosServiceControl(BOOL bStart, const ServiceLimits& limits) noexcept {
    return SeviceControl(bStart, kPosServiceUnit, limits);
}
