// kelvo-printer-sim as a child process, ready once it has printed its ports.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "sim/Sim.h"

extern char** environ;

namespace sim {
namespace {

constexpr DWORD kStopWaitMs = 5000;

bool FieldValue(std::string_view line, std::string_view key, WORD* pValue) {
    std::string k = " " + std::string(key) + "=";
    std::size_t pos = line.find(k);
    if (pos == std::string_view::npos) return false;
    const char* p = line.data() + pos + k.size();
    char* end = nullptr;
    unsigned long v = std::strtoul(p, &end, 10);
    if (end == p || v > 0xFFFF) return false;
    *pValue = static_cast<WORD>(v);
    return true;
}

// Waits for the child to end (pidfd, so no polling loop); FALSE on timeout.
bool WaitChild(pid_t pid, DWORD dwTimeout, int* pStatus) {
    UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (pidfd) {
        pollfd p{pidfd.Get(), POLLIN, 0};
        Deadline deadline(dwTimeout);
        int r;
        do {
            r = ::poll(&p, 1, TimeoutToPoll(deadline.Remaining()));
        } while (r < 0 && errno == EINTR);
        if (r == 0) return false;
    }
    while (::waitpid(pid, pStatus, 0) < 0 && errno == EINTR) {
    }
    return true;
}

}  // namespace

std::string FormatReadyLine(const std::string& address, WORD wData, WORD wStatus, WORD wDiscovery) {
    return StrPrintf("kelvo-printer-sim ready address=%s data=%u status=%u discovery=%u", address.c_str(), wData, wStatus,
                     wDiscovery);
}

bool ParseReadyLine(std::string_view line, WORD* pData, WORD* pStatus, WORD* pDiscovery) {
    if (line.rfind("kelvo-printer-sim ready ", 0) != 0) return false;
    return FieldValue(line, "data", pData) && FieldValue(line, "status", pStatus) &&
           FieldValue(line, "discovery", pDiscovery);
}

PrinterProcess::~PrinterProcess() { Stop(); }

BOOL PrinterProcess::Start(const std::string& exe, const std::vector<std::string>& args, DWORD dwTimeout) {
    if (m_pid > 0) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0) return SetLastErrorFromErrno(errno);
    UniqueFd rd(pipefd[0]), wr(pipefd[1]);
    std::vector<std::string> argv_s{exe};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_s) argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, wr.Get(), STDOUT_FILENO);
    pid_t pid = -1;
    int err = ::posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (err != 0) return SetLastErrorFromErrno(err);
    wr.Reset();
    m_pid = pid;
    m_out = std::move(rd);

    std::string line;
    Deadline deadline(dwTimeout);
    for (;;) {
        pollfd p{m_out.Get(), POLLIN, 0};
        int r = ::poll(&p, 1, TimeoutToPoll(deadline.Remaining()));
        if (r < 0 && errno == EINTR) continue;
        char c;
        ssize_t n = r > 0 ? ::read(m_out.Get(), &c, 1) : 0;
        if (n == 1 && c != '\n') {
            line.push_back(c);
            continue;
        }
        if (n == 1 && ParseReadyLine(line, &m_wData, &m_wStatus, &m_wDiscovery)) return TRUE;
        if (n == 1) {
            line.clear();  // some other line; the ready line follows
            continue;
        }
        // End of output, or no ready line in time: the child failed to come up.
        DWORD dwError = r == 0 ? ERROR_TIMEOUT : ERROR_NOT_READY;
        Stop();
        SetLastError(dwError);
        return FALSE;
    }
}

int PrinterProcess::Stop() {
    if (m_pid <= 0) return -1;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    if (!WaitChild(m_pid, kStopWaitMs, &status)) {
        ::kill(m_pid, SIGKILL);
        WaitChild(m_pid, INFINITE, &status);
    }
    m_pid = -1;
    m_out.Reset();
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace sim
