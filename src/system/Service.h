#pragma once
// Stopping and starting the services that would compete with the updater for a printer
// port: the print spooler (CUPS) and the maker's POS service, as systemd units.
#include <string>
#include <string_view>

#include "platform/Types.h"
#include "system/StoppedUnits.h"

// The waits of the service calls. Tests shorten them; the program uses the defaults.
struct ServiceLimits {
    DWORD dwServiceTimeout = 300000;  // one unit reaching the wanted state
    DWORD dwServicePoll = 100;
    DWORD dwSpoolerTimeout = 5000;  // a started spooler answering requests
    DWORD dwSpoolerPoll = 300;
    // Asked before each request and between polls; TRUE ends the wait with
    // ERROR_CANCELLED. A start request already made stands, a stop not yet made is not.
    BOOL (*pfnCancelled)() noexcept = nullptr;
};
inline constexpr ServiceLimits kServiceLimits{};

inline constexpr const char* kSpoolerUnit = "cups.service";
inline constexpr const char* kPosServiceUnit = "ZaqPosSrv.service";

// The systemd unit for a service name: "Spooler" is cups.service, a name without a
// suffix gets ".service" ("ZaqPosSrv" is ZaqPosSrv.service), a unit name stays as it is.
std::string ServiceUnitName(std::string_view serviceName);

// Brings one unit to running (bStart) or stopped and waits for it, polling its
// ActiveState: "active" and "reloading" are running, "inactive" and "failed" stopped,
// anything else ("activating", "deactivating") is waited out. A stopped unit has no
// process left (systemd reports "inactive" only after its processes have ended), so
// the stop needs no separate wait for the process. A unit already in the wanted state
// is left alone. Blocks for up to limits.dwServiceTimeout ms. Every failure is logged
// with the reason as last error: no system bus or no systemd ("OpenSCManager",
// RPC_S_SERVER_UNAVAILABLE), an unknown unit ("OpenService", 1060 or the bus error),
// refused requests ("StartService"/"ControlService", ERROR_ACCESS_DENIED when polkit
// says no), the time limit ("[Timeout:%dms]", ERROR_TIMEOUT), a cancel (a warning,
// ERROR_CANCELLED).
BOOL SeviceControl(BOOL bStart, const char* pszServiceName, const ServiceLimits& limits = kServiceLimits) noexcept;

// Stops or starts cups.service, together with the units that would start it on demand
// (its TriggeredBy: cups.socket, cups.path), which are stopped before it and started
// after it; a trigger that cannot be controlled is a warning. Stopping for a port
// leaves CUPS alone (TRUE) when no queue prints to that port; NULL means stop in any
// case. Only a start request that systemd took is followed by a wait: up to
// limits.dwSpoolerTimeout ms for the CUPS server to answer a request. Without one (the
// unit was running, or there is no bus, no systemd, no cups.service, or the request was
// refused) the server is asked once, for at most limits.dwSpoolerPoll ms. Once the
// server answers the result is TRUE even when the unit could not be started (a CUPS
// that runs some other way is just as good); otherwise the error "Spooler service is
// invalid!!" is logged and the result of the unit start stands.
BOOL SpoolerControl(BOOL bStart, const char* pszPortName, const ServiceLimits& limits = kServiceLimits) noexcept;

// SeviceControl (bStart, "ZaqPosSrv.service").
BOOL PosServiceControl(BOOL bStart, const ServiceLimits& limits = kServiceLimits) noexcept;
// The spooler (any queue) and the POS service together, as around a serial port search.
void CompetingServicesControl(BOOL bStart) noexcept;

// Starts again the units that a process which has ended stopped and left stopped
// (StoppedUnits.h): the spooler with its triggers, the POS service; any other name in a
// record is ignored. Returns what was started, per process. Blocks for the starts.
std::vector<OrphanedUnits> StartOrphanedUnits() noexcept;
