#pragma once
// A short-lived client of the systemd manager on the system bus (sd-bus). The bus address
// comes from DBUS_SYSTEM_BUS_ADDRESS when set, as for every sd-bus client.
#include <string>
#include <vector>

#include "platform/Types.h"

struct sd_bus;

// Not a Windows constant in WinError.h: the answer for a unit systemd does not know.
inline constexpr DWORD ERROR_SERVICE_DOES_NOT_EXIST = 1060;

// One connection, closed by the destructor. Every call blocks for at most sd-bus's
// method-call timeout and reports FALSE with the thread's last error:
// RPC_S_SERVER_UNAVAILABLE (no bus, or no systemd on it), ERROR_ACCESS_DENIED (the bus
// or polkit refused), ERROR_SERVICE_DOES_NOT_EXIST (no such unit), else the errno of
// the failure translated.
class CSystemdManager {
public:
    CSystemdManager() noexcept = default;
    ~CSystemdManager();
    CSystemdManager(const CSystemdManager&) = delete;
    CSystemdManager& operator=(const CSystemdManager&) = delete;

    // Opens the system bus and checks that the manager answers there.
    BOOL Connect() noexcept;
    // The unit's object path. A unit that is not loaded is loaded first; one whose
    // LoadState is "not-found" fails with ERROR_SERVICE_DOES_NOT_EXIST.
    BOOL FindUnit(const std::string& unitName, std::string* pPath) noexcept;
    // The unit's ActiveState ("active", "inactive", "failed", "activating", ...).
    BOOL GetActiveState(const std::string& unitPath, std::string* pState) noexcept;
    // The units that start this one on demand (its "TriggeredBy": sockets, paths, timers).
    BOOL GetTriggeredBy(const std::string& unitPath, std::vector<std::string>* pUnits) noexcept;
    // Queues a start or stop job in mode "replace"; does not wait for it.
    BOOL StartUnit(const std::string& unitName) noexcept;
    BOOL StopUnit(const std::string& unitName) noexcept;

private:
    BOOL GetUnitProperty(const std::string& unitPath, const char* pszName, std::string* pValue) noexcept;
    BOOL CallUnitJob(const char* pszMethod, const std::string& unitName) noexcept;
    BOOL CallForPath(const char* pszMethod, const std::string& unitName, std::string* pPath) noexcept;

    sd_bus* m_pBus = nullptr;
};
