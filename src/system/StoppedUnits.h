#pragma once
// The units this program stopped and has not started again, kept in a file per process
// (root's under $KELVO_SYSROOT/run/kelvo, a user's under $XDG_RUNTIME_DIR/kelvo: folders
// where nobody else can make or hold a name), so that a program killed outright (SIGKILL, a power
// cut of the session) leaves the machine recoverable: the next start finds the file of a
// process that is gone and starts its units again.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// Turns the file on for this process (off by default: tests that drive the service
// calls in-process leave no files behind; the list of this process is kept in any
// case). say (may be empty) is told once, with a sentence for the user, when the record
// cannot be kept; the update goes on. Main thread, before any service call.
void EnableStoppedUnitsRecord(std::function<void(const std::string&)> say = {}) noexcept;

// A stop or start request that systemd took for a unit (a start also when the unit was
// found running). Thread-safe; never blocks on a file another user controls; failures to
// write are logged and said once (EnableStoppedUnitsRecord).
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
// stays; only this user's own records (a plain file with one name) are read. Works with
// the record turned off too: any start may clean up after a crash.
std::vector<OrphanedUnits> TakeOrphanedUnits();

// The folder of the records (for tests and the messages); empty for a user without a
// runtime folder, whose runs keep no record.
std::string StoppedUnitsFolder();
