#pragma once
// Starting helper programs without a shell, and waiting for them with a time limit.
#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/Types.h"

// The system folders programs are started from, in the order they are searched (under
// KELVO_SYSROOT); PATH is never searched, so what runs does not depend on who set it.
inline constexpr const char* kSystemProgramDirs[] = {"/usr/bin", "/bin", "/usr/sbin", "/sbin"};
// The absolute path of the system program name (a plain file name): the first
// executable regular file of that name in kSystemProgramDirs. Empty with
// ERROR_FILE_NOT_FOUND when there is none (or name is not a plain file name).
std::string SystemProgramPath(const std::string& name);

// Starts argv[0], an absolute path (nothing is looked up in PATH; anything else fails
// with ERROR_INVALID_PARAMETER), with the arguments as given; no shell sees them.
// With bNewProcessGroup the child leads a process group of its own, so a Ctrl+C meant
// for this program does not reach it. TRUE with *pPid; FALSE with the last error
// (ERROR_FILE_NOT_FOUND when the program is not there).
BOOL SpawnProcess(const std::vector<std::string>& argv, bool bNewProcessGroup, pid_t* pPid) noexcept;

// The child's standard input, output and error; -1 keeps this process's. fdChannel
// (-1: none) is handed to the child as its descriptor 3 (kSpawnChannelFd).
// pEnvironment ("NAME=value" entries; null: this process's environment) is the child's
// whole environment.
struct SpawnStdio {
    int fdIn = -1;
    int fdOut = -1;
    int fdErr = -1;
    int fdChannel = -1;
    const std::vector<std::string>* pEnvironment = nullptr;
};
inline constexpr int kSpawnChannelFd = 3;
// The same, with the child's standard streams and environment as given.
BOOL SpawnProcess(const std::vector<std::string>& argv, bool bNewProcessGroup, const SpawnStdio& stdio,
                  pid_t* pPid) noexcept;

// Waits up to dwTimeout ms (INFINITE: no limit) for the child to end, and reaps it.
// WAIT_OBJECT_0 with *pnExitCode (its exit status, or 128 + the signal that ended it),
// WAIT_TIMEOUT when it still runs (not reaped), WAIT_FAILED with the last error.
DWORD WaitForProcess(pid_t pid, DWORD dwTimeout, int* pnExitCode) noexcept;

// Reaps a child that is left running once it ends, so it never lingers as a zombie.
void ReapProcessLater(pid_t pid) noexcept;
