#pragma once
// Where a fleet run keeps its result for the next --retry-failed: last-fleet.json in
// $XDG_STATE_HOME/kelvo (default ~/.local/state/kelvo), a folder of this user's that
// nobody else may write, so that the name in it can be trusted, also by root.
#include <string>

// The folder, made (0700) when missing. Empty with a reason when it cannot be had, or
// is a link, not a folder, another user's, or writable by group or others.
std::string FleetStateFolder(std::string* pError);

// Writes the text as the last fleet result (a new file renamed over the old one, so a
// reader never sees half of it). TRUE with its path; FALSE with a reason.
bool SaveLastFleetResult(const std::string& json, std::string* pPath, std::string* pError);

// The path of the last fleet result, when there is one as a plain file; empty with a
// reason otherwise.
std::string LastFleetResultPath(std::string* pError);
