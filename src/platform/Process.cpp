#include "platform/Process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <utility>

#include "platform/Event.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/Tick.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"

extern char** environ;

namespace {

int ExitCodeOf(int nStatus) {
    if (WIFEXITED(nStatus)) return WEXITSTATUS(nStatus);
    if (WIFSIGNALED(nStatus)) return 128 + WTERMSIG(nStatus);
    return 1;
}

// Reaps the child if it has ended. 1 ended, 0 still running, -1 error (errno set).
int TryReap(pid_t pid, int* pnExitCode) {
    int nStatus = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &nStatus, WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    if (r == 0) return 0;
    *pnExitCode = ExitCodeOf(nStatus);
    return 1;
}

}  // namespace

std::string SystemProgramPath(const std::string& name) {
    if (!name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos) {
        for (const char* pszDir : kSystemProgramDirs) {
            std::string path = SysPath(pszDir) + "/" + name;
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0) return path;
        }
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return {};
}

BOOL SpawnProcess(const std::vector<std::string>& argv, bool bNewProcessGroup, pid_t* pPid) noexcept {
    return SpawnProcess(argv, bNewProcessGroup, SpawnStdio{}, pPid);
}

BOOL SpawnProcess(const std::vector<std::string>& argv, bool bNewProcessGroup, const SpawnStdio& stdio,
                  pid_t* pPid) noexcept {
    if (argv.empty() || argv[0].empty() || argv[0][0] != '/') {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> env;
    if (stdio.pEnvironment != nullptr) {
        for (const std::string& entry : *stdio.pEnvironment) env.push_back(const_cast<char*>(entry.c_str()));
        env.push_back(nullptr);
    }

    posix_spawnattr_t attr;
    if (int err = ::posix_spawnattr_init(&attr); err != 0) return SetLastErrorFromErrno(err);
    // Whatever the starting thread blocks or this program ignores (SIGPIPE), the child
    // starts as if from a shell: nothing blocked, every signal at its default.
    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t allSignals;
    sigfillset(&allSignals);
    sigdelset(&allSignals, SIGKILL);
    sigdelset(&allSignals, SIGSTOP);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    ::posix_spawnattr_setsigmask(&attr, &noSignals);
    ::posix_spawnattr_setsigdefault(&attr, &allSignals);
    if (bNewProcessGroup) {
        flags |= POSIX_SPAWN_SETPGROUP;
        ::posix_spawnattr_setpgroup(&attr, 0);
    }
    ::posix_spawnattr_setflags(&attr, flags);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    const std::pair<int, int> streams[] = {
        {stdio.fdIn, 0}, {stdio.fdOut, 1}, {stdio.fdErr, 2}, {stdio.fdChannel, kSpawnChannelFd}};
    for (auto [fd, target] : streams) {
        if (fd >= 0) ::posix_spawn_file_actions_adddup2(&actions, fd, target);
    }
    int err = ::posix_spawn(pPid, args[0], &actions, &attr, args.data(), stdio.pEnvironment ? env.data() : environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::posix_spawnattr_destroy(&attr);
    if (err != 0) return SetLastErrorFromErrno(err);
    return TRUE;
}

DWORD WaitForProcess(pid_t pid, DWORD dwTimeout, int* pnExitCode) noexcept {
    int nExitCode = 0;
    Deadline deadline(dwTimeout);
    UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    for (;;) {
        int r = TryReap(pid, &nExitCode);
        if (r < 0) {
            SetLastErrorFromErrno(errno);
            return WAIT_FAILED;
        }
        if (r > 0) {
            if (pnExitCode != nullptr) *pnExitCode = nExitCode;
            return WAIT_OBJECT_0;
        }
        if (deadline.Expired()) return WAIT_TIMEOUT;
        // The pidfd turns readable when the child ends; without one (old kernels) poll in
        // short steps.
        DWORD dwStep = pidfd ? deadline.Remaining() : std::min<DWORD>(deadline.Remaining(), 20);
        if (pidfd) {
            WaitItem item = WaitItem::ForFd(pidfd.Get(), POLLIN);
            if (WaitForAny({&item, 1}, dwStep) == WAIT_FAILED) return WAIT_FAILED;
        } else {
            Sleep(dwStep);
        }
    }
}

void ReapProcessLater(pid_t pid) noexcept {
    try {
        std::thread([pid] {
            int nStatus = 0;
            while (::waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
            }
        }).detach();
    } catch (...) {
        // No thread: the child stays a zombie until this process ends; nothing worse.
    }
}
