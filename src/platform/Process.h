#pragma once
// Starting helper programs without a shell, and waiting for them with a time limit.
#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/Types.h"

// Starts argv[0] (looked up in PATH) with the arguments as given; no shell sees them.
// With bNewProcessGroup the child leads a process group of its own, so a Ctrl+C meant
// for this program does not reach it. TRUE with *pPid; FALSE with the last error
// (ERROR_FILE_NOT_FOUND when the program is not found).
BOOL SpawnProcess(const std::vector<std::string>& argv, bool bNewProcessGroup, pid_t* pPid) noexcept;

// The child's standard input, output and error; -1 keeps this process's. fdChannel
// (-1: none) is handed to the child as its descriptor 3 (kSpawnChannelFd).
struct SpawnStdio {
    int fdIn = -1;
    int fdOut = -1;
    int fdErr = -1;
    int fdChannel = -1;
};
inline constexpr int kSpawnChannelFd = 3;
// The same, with the child's standard streams on the given descriptors.
BOOL SpawnProcess(const std::vector<std::string>& argv, bool bNewProcessGroup, const SpawnStdio& stdio,
                  pid_t* pPid) noexcept;

// Waits up to dwTimeout ms (INFINITE: no limit) for the child to end, and reaps it.
// WAIT_OBJECT_0 with *pnExitCode (its exit status, or 128 + the signal that ended it),
// WAIT_TIMEOUT when it still runs (not reaped), WAIT_FAILED with the last error.
DWORD WaitForProcess(pid_t pid, DWORD dwTimeout, int* pnExitCode) noexcept;

// Reaps a child that is left running once it ends, so it never lingers as a zombie.
void ReapProcessLater(pid_t pid) noexcept;
