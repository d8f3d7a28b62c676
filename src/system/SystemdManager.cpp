#include "system/SystemdManager.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/LastError.h"
#include "platform/WinError.h"

namespace {

constexpr const char* kService = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerIface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitIface = "org.freedesktop.systemd1.Unit";

// Frees an sd_bus_error on every path.
struct BusError {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    ~BusError() { sd_bus_error_free(&e); }
};

struct BusMessage {
    sd_bus_message* p = nullptr;
    ~BusMessage() { sd_bus_message_unref(p); }
};

bool ErrorNameIs(const sd_bus_error& e, const char* pszName) {
    return sd_bus_error_has_name(&e, pszName) != 0;
}

// Nobody serves the manager: not there, gone, or its bus activation failed (the
// system bus activates org.freedesktop.systemd1 with /bin/false where systemd is not
// the init system).
bool IsNoServer(const sd_bus_error& e) {
    return ErrorNameIs(e, SD_BUS_ERROR_SERVICE_UNKNOWN) || ErrorNameIs(e, SD_BUS_ERROR_NAME_HAS_NO_OWNER) ||
           ErrorNameIs(e, SD_BUS_ERROR_NO_SERVER) || ErrorNameIs(e, SD_BUS_ERROR_DISCONNECTED) ||
           (e.name != nullptr && std::strncmp(e.name, "org.freedesktop.DBus.Error.Spawn.", 33) == 0);
}

// The one place where a failed bus call becomes the thread's last error.
BOOL FailFromBus(int r, const sd_bus_error* pError) noexcept {
    if (pError != nullptr && sd_bus_error_is_set(pError)) {
        const sd_bus_error& e = *pError;
        if (IsNoServer(e)) {
            SetLastError(RPC_S_SERVER_UNAVAILABLE);
            return FALSE;
        }
        if (ErrorNameIs(e, SD_BUS_ERROR_ACCESS_DENIED) ||
            ErrorNameIs(e, SD_BUS_ERROR_INTERACTIVE_AUTHORIZATION_REQUIRED)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (ErrorNameIs(e, "org.freedesktop.systemd1.NoSuchUnit")) {
            SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return FALSE;
        }
        r = -sd_bus_error_get_errno(pError);
    }
    int err = r < 0 ? -r : EIO;
    switch (err) {
    case ENOENT:
    case ECONNREFUSED:
    case ECONNRESET:
    case ENOTCONN:
    case EHOSTDOWN:
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    default:
        return SetLastErrorFromErrno(err);
    }
}

// Failures that no other request on this connection would get past.
bool IsBusUnusable(DWORD dwError) noexcept {
    return dwError == RPC_S_SERVER_UNAVAILABLE || dwError == ERROR_ACCESS_DENIED;
}

}  // namespace

CSystemdManager::~CSystemdManager() {
    sd_bus_flush_close_unref(m_pBus);
}

BOOL CSystemdManager::Connect() noexcept {
    int r = sd_bus_open_system(&m_pBus);
    if (r < 0) {
        m_pBus = nullptr;
        return FailFromBus(r, nullptr);
    }
    // Opening only connects; a property of the manager shows that systemd is there.
    BusError error;
    char* pszVersion = nullptr;
    r = sd_bus_get_property_string(m_pBus, kService, kManagerPath, kManagerIface, "Version", &error.e, &pszVersion);
    std::free(pszVersion);
    if (r < 0) return FailFromBus(r, &error.e);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CSystemdManager::CallForPath(const char* pszMethod, const std::string& unitName, std::string* pPath) noexcept {
    BusError error;
    BusMessage reply;
    int r = sd_bus_call_method(m_pBus, kService, kManagerPath, kManagerIface, pszMethod, &error.e, &reply.p, "s",
                               unitName.c_str());
    if (r < 0) return FailFromBus(r, &error.e);
    const char* pszPath = nullptr;
    r = sd_bus_message_read(reply.p, "o", &pszPath);
    if (r < 0) return FailFromBus(r, nullptr);
    *pPath = pszPath;
    return TRUE;
}

BOOL CSystemdManager::FindUnit(const std::string& unitName, std::string* pPath) noexcept {
    if (m_pBus == nullptr) return FailFromBus(-ENOTCONN, nullptr);
    // systemd drops inactive units from memory; GetUnit then fails and LoadUnit brings
    // the unit file back (or answers with LoadState "not-found").
    if (!CallForPath("GetUnit", unitName, pPath)) {
        if (IsBusUnusable(GetLastError())) return FALSE;
        if (!CallForPath("LoadUnit", unitName, pPath)) {
            if (!IsBusUnusable(GetLastError())) SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
            return FALSE;
        }
    }
    std::string loadState;
    if (!GetUnitProperty(*pPath, "LoadState", &loadState)) return FALSE;
    if (loadState == "not-found") {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CSystemdManager::GetUnitProperty(const std::string& unitPath, const char* pszName, std::string* pValue) noexcept {
    if (m_pBus == nullptr) return FailFromBus(-ENOTCONN, nullptr);
    BusError error;
    char* pszValue = nullptr;
    int r = sd_bus_get_property_string(m_pBus, kService, unitPath.c_str(), kUnitIface, pszName, &error.e, &pszValue);
    if (r < 0) return FailFromBus(r, &error.e);
    *pValue = pszValue;
    std::free(pszValue);
    return TRUE;
}

BOOL CSystemdManager::GetActiveState(const std::string& unitPath, std::string* pState) noexcept {
    if (!GetUnitProperty(unitPath, "ActiveState", pState)) return FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CSystemdManager::GetTriggeredBy(const std::string& unitPath, std::vector<std::string>* pUnits) noexcept {
    pUnits->clear();
    if (m_pBus == nullptr) return FailFromBus(-ENOTCONN, nullptr);
    BusError error;
    char** ppUnits = nullptr;
    int r = sd_bus_get_property_strv(m_pBus, kService, unitPath.c_str(), kUnitIface, "TriggeredBy", &error.e, &ppUnits);
    if (r < 0) return FailFromBus(r, &error.e);
    for (char** pp = ppUnits; pp != nullptr && *pp != nullptr; ++pp) {
        pUnits->emplace_back(*pp);
        std::free(*pp);
    }
    std::free(ppUnits);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CSystemdManager::CallUnitJob(const char* pszMethod, const std::string& unitName) noexcept {
    if (m_pBus == nullptr) return FailFromBus(-ENOTCONN, nullptr);
    BusError error;
    BusMessage reply;
    int r = sd_bus_call_method(m_pBus, kService, kManagerPath, kManagerIface, pszMethod, &error.e, &reply.p, "ss",
                               unitName.c_str(), "replace");
    if (r < 0) return FailFromBus(r, &error.e);
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL CSystemdManager::StartUnit(const std::string& unitName) noexcept {
    return CallUnitJob("StartUnit", unitName);
}

BOOL CSystemdManager::StopUnit(const std::string& unitName) noexcept {
    return CallUnitJob("StopUnit", unitName);
}
