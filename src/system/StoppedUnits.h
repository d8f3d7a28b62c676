#pragma once
// The units this program stopped and has not started again, kept in a file per process
// under $KELVO_SYSROOT/run/kelvo, so that a program killed outright (SIGKILL, a power
// cut of the session) leaves the machine recoverable: the next start finds the file of a
// process that is gone and starts its units again.
#include <sys/types.h>

#include <string>
#include <vector>

// Turns the file on for this process (off by default: tests that drive the service
// calls in-process leave no files behind; the list of this process is kept in any
// case). Main thread, before any service call.
void EnableStoppedUnitsRecord() noexcept;

// A stop or start request that systemd took for a unit (a start also when the unit was
// found running). Thread-safe; failures to write are logged and otherwise ignored.
void NoteUnitStopped(const std::string& unit) noexcept;
void NoteUnitStarted(const std::string& unit) noexcept;

// The units this process stopped and has not started again, in the order stopped.
std::vector<std::string> UnitsStoppedHere();

// The units of a process that ended without starting them again.
struct OrphanedUnits {
    pid_t pid = 0;
    std::vector<std::string> units;
};
// Takes the records of processes that are gone (a pid that no longer runs, or now runs
// another program started later) and removes their files. The record of a live process
// stays. Works with the record turned off too: any start may clean up after a crash.
std::vector<OrphanedUnits> TakeOrphanedUnits();

// The folder of the records (for tests and the messages).
std::string StoppedUnitsFolder();
