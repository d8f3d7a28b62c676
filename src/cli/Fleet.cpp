#include "cli/Fleet.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <sstream>

#include "cli/Json.h"
#include "cli/ProgressView.h"
#include "engine/Kelvo.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"
#include "system/Service.h"

namespace {

constexpr const char* kProgramName = "kelvo-cli";
// After a second interrupt the user wants out: the starts are asked for, briefly waited for.
constexpr ServiceLimits kQuitLimits{2000, 100, 1000, 300, nullptr};

std::string_view Trim(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\n";
    std::size_t nFirst = text.find_first_not_of(kBlanks);
    if (nFirst == std::string_view::npos) return {};
    return text.substr(nFirst, text.find_last_not_of(kBlanks) - nFirst + 1);
}

void WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

void AddUnique(std::vector<std::string>* pPorts, const std::string& port) {
    if (std::find(pPorts->begin(), pPorts->end(), port) == pPorts->end()) pPorts->push_back(port);
}

std::string SelfPath() {
    std::array<char, 4096> path{};
    ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    return n > 0 ? std::string(path.data(), static_cast<std::size_t>(n)) : std::string(kProgramName);
}

// The parent takes the locks a single run takes; it has no window to raise.
class LockOnly : public IFrontEnd {
public:
    int MessageBox(const std::string&, const std::string&, DWORD) override { return 0; }
    void RunMainWindow(CKelvoApp&) override {}
    void RaiseFirstInstance() override {}
};

// One child kelvo-cli and what it has said so far.
struct Child {
    std::size_t nIndex = 0;  // in the list of ports
    pid_t pid = -1;
    UniqueFd out;
    UniqueFd err;
    std::string outText;  // its stdout: the result object
    std::string errLine;  // its stderr: the line not yet ended
};

// What a printer shows: one line each, redrawn in place on a terminal; every line of a
// child with its port in front otherwise.
class FleetView {
public:
    FleetView(int fd, bool bTerminal, const std::vector<std::string>& ports)
        : m_fd(fd), m_bTerminal(bTerminal), m_lines(ports.size()) {
        for (std::size_t i = 0; i < ports.size(); ++i) m_lines[i].strPort = ports[i];
        std::size_t nWidth = 0;
        for (const std::string& port : ports) nWidth = std::max(nWidth, port.size());
        m_nPortWidth = static_cast<int>(nWidth);
    }

    void ChildLine(std::size_t nIndex, const std::string& line) {
        if (line.empty()) return;
        Line& l = m_lines[nIndex];
        if (std::optional<ProgressText> progress = ParseProgressText(line)) {
            DWORD dwNow = GetTickCount();
            if (progress->strLabel != l.strPhase || progress->nPercent < l.nPercent) l.dwPhaseStart = dwNow;
            l.strPhase = progress->strLabel;
            l.nPercent = progress->nPercent;
            l.dwPhaseMs = dwNow - l.dwPhaseStart;
        } else {
            l.strPhase = line;
            l.nPercent = -1;
        }
        if (!m_bTerminal) {
            WriteAll(m_fd, l.strPort + ": " + line + "\n");
        } else {
            Draw();
        }
    }
    void SetPhase(std::size_t nIndex, const std::string& text) {
        m_lines[nIndex].strPhase = text;
        m_lines[nIndex].nPercent = -1;
        if (!m_bTerminal) {
            WriteAll(m_fd, m_lines[nIndex].strPort + ": " + text + "\n");
        } else {
            Draw();
        }
    }
    // Own lines of the parent, below the printers' block, which starts again below them
    // unless this is the last word.
    void Message(const std::string& text, bool bBlockAfter = true) {
        WriteAll(m_fd, text + "\n");
        m_nDrawn = 0;
        if (m_bTerminal && bBlockAfter) Draw();
    }

private:
    struct Line {
        std::string strPort;
        std::string strPhase = "waiting";
        int nPercent = -1;
        DWORD dwPhaseStart = 0;
        DWORD dwPhaseMs = 0;
    };
    void Draw() {
        std::string text;
        if (m_nDrawn > 0) text += StrPrintf("\033[%dA", m_nDrawn);
        for (const Line& l : m_lines) {
            std::string phase = l.strPhase.substr(0, l.strPhase.find('\n'));
            text += StrPrintf("\r\033[K%-*s  %s", m_nPortWidth, l.strPort.c_str(), phase.c_str());
            if (l.nPercent >= 0) {
                text += StrPrintf(" %3d%%", l.nPercent);
                // The share of the phase done per second: the pause of a printer that
                // rewrites its flash shows as a slow phase, not as a stalled one.
                if (l.dwPhaseMs >= 1000) text += StrPrintf("  %.1f %%/s", l.nPercent * 1000.0 / l.dwPhaseMs);
            }
            text += "\n";
        }
        m_nDrawn = static_cast<int>(m_lines.size());
        WriteAll(m_fd, text);
    }

    int m_fd;
    bool m_bTerminal;
    std::vector<Line> m_lines;
    int m_nPortWidth = 0;
    int m_nDrawn = 0;
};

// Reads what is there; false at the end of the stream or on an error.
bool ReadSome(int fd, std::string* pText) {
    std::array<char, 4096> buffer;
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            pText->append(buffer.data(), static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

std::string ResultOfChild(const std::string& port, const std::string& outText, int nExitStatus) {
    // The object is the child's last line on stdout.
    std::string_view text = Trim(outText);
    std::size_t nLast = text.rfind('\n');
    std::string_view last = nLast == std::string_view::npos ? text : text.substr(nLast + 1);
    if (last.starts_with('{') && last.ends_with('}')) return std::string(last);
    JsonObject object;
    object.AddNull("result").AddNull("result_name").Add("exit_status", static_cast<std::int64_t>(nExitStatus));
    object.Add("port", std::string_view(port));
    object.Add("messages", std::vector<std::string>{StrPrintf(
                               "kelvo-cli ended without a result (exit status %d)", nExitStatus)});
    return object.Text();
}

std::string NotStartedResult(const std::string& port) {
    JsonObject object;
    object.Add("result", static_cast<std::int64_t>(ERROR_CANCELLED))
        .Add("result_name", "ERROR_CANCELLED")
        .Add("exit_status", static_cast<std::int64_t>(3))
        .Add("port", std::string_view(port))
        .Add("messages", std::vector<std::string>{"Not started: the run was cancelled"});
    return object.Text();
}

}  // namespace

bool ParsePortsText(std::string_view text, std::vector<std::string>* pPorts, std::string* pError) {
    int nLine = 0;
    while (!text.empty()) {
        std::size_t nEnd = text.find('\n');
        std::string_view line = text.substr(0, nEnd);
        text = nEnd == std::string_view::npos ? std::string_view() : text.substr(nEnd + 1);
        ++nLine;
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        if (Utf8Length(line) > PORT_NAME_MAX) {
            *pError = StrPrintf("line %d: port name longer than %d characters", nLine, static_cast<int>(PORT_NAME_MAX));
            return false;
        }
        AddUnique(pPorts, std::string(line));
    }
    return true;
}

bool CollectFleetPorts(const CliOptions& options, const DiscoveryFactory& discovery, std::vector<std::string>* pPorts,
                       std::string* pError) {
    pPorts->clear();
    for (const std::string& port : options.ports) AddUnique(pPorts, port);
    if (!options.strPortsFrom.empty()) {
        std::ifstream in(options.strPortsFrom);
        if (!in) {
            *pError = "cannot read " + options.strPortsFrom + ": " + std::strerror(errno);
            return false;
        }
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        if (!ParsePortsText(text.str(), pPorts, &error)) {
            *pError = options.strPortsFrom + ", " + error;
            return false;
        }
    }
    if (options.bAll) {
        if (!options.nKind) {
            *pError = "--all needs --kind";
            return false;
        }
        std::vector<std::string> lines;
        bool bHasDiscovery = false;
        DiscoverPorts(discovery, *options.nKind, &lines, &bHasDiscovery);
        if (!bHasDiscovery) {
            *pError = std::string("this program cannot search for ") + PortKindWord(*options.nKind) + " printers yet";
            return false;
        }
        for (const std::string& line : lines) AddUnique(pPorts, PortNameOfLine(line));
    }
    if (pPorts->empty()) {
        *pError = "no printer to update";
        return false;
    }
    return true;
}

std::vector<std::string> FleetChildArgs(const std::string& program, const CliOptions& options,
                                        const std::string& port) {
    std::vector<std::string> args{program, "--fleet-child", "--port", port, "--json"};
    if (options.nKind) {
        args.push_back("--kind");
        args.push_back(PortKindWord(*options.nKind));
    }
    if (options.bForce) args.push_back("--force");
    if (options.bYes) args.push_back("--yes");
    return args;
}

int FleetExitStatus(const std::vector<FleetResult>& results, bool bCancelled) noexcept {
    if (bCancelled) return 3;
    for (const FleetResult& result : results) {
        if (result.nExitStatus != 0 && result.nExitStatus != 2) return 1;
    }
    return 0;
}

std::string FleetJson(const std::vector<FleetResult>& results, int nExitStatus, DWORD dwDurationMs) {
    std::string list = "[";
    std::array<std::int64_t, 4> counts{};
    for (const FleetResult& result : results) {
        if (list.size() > 1) list += ",";
        list += result.strJson;
        // Any other status (a child killed by a signal) counts as the failure it is.
        std::size_t n = result.nExitStatus >= 0 && result.nExitStatus <= 3 ? static_cast<std::size_t>(result.nExitStatus) : 1;
        ++counts[n];
    }
    list += "]";
    JsonObject byStatus;
    for (std::size_t n = 0; n < counts.size(); ++n) byStatus.Add(std::to_string(n), counts[n]);
    JsonObject summary;
    summary.Add("printers", static_cast<std::int64_t>(results.size()))
        .Add("exit_status", static_cast<std::int64_t>(nExitStatus))
        .AddRaw("by_exit_status", byStatus.Text())
        .Add("duration_ms", static_cast<std::int64_t>(dwDurationMs));
    JsonObject object;
    object.AddRaw("results", list).AddRaw("summary", summary.Text());
    return object.Text();
}

int RunFleet(const CliOptions& options, int fdInterrupt) {
    const DWORD dwStart = GetTickCount();
    auto finish = [&](const std::vector<FleetResult>& results, int nStatus) {
        LogMessage(LOG_APP, 'I', __LINE__, 0, "[[[ Fleet run ended: exit status %d ]]]", nStatus);
        if (options.bJson) WriteAll(STDOUT_FILENO, FleetJson(results, nStatus, GetTickCount() - dwStart) + "\n");
        return nStatus;
    };
    // Begun afresh only under the lock: a refused run adds its lines to the running one's.
    LogSetupPending(LOG_PROGRAM_MASK, LOG_PROGRAM_NAME);

    LockOnly lockFrontEnd;
    std::string failedLock;
    const BOOL bLocked = CheckSingleInstance(lockFrontEnd, &failedLock);
    {
        LastErrorGuard keep;
        LogBegin(bLocked ? LogStart::Fresh : LogStart::Append);
    }
    if (!bLocked) {
        DWORD dwError = GetLastError();
        LogMessage(LOG_APP, 'I', __LINE__, dwError, "Instance lock not had [%s]", failedLock.c_str());
        WriteAll(STDERR_FILENO, std::string(kProgramName) +
                                    (dwError == ERROR_ALREADY_EXISTS || dwError == ERROR_BUSY
                                         ? ": another Kelvo update is running on this machine\n"
                                         : ": cannot take the lock " + failedLock + "\n"));
        return finish({}, 1);
    }

    std::vector<std::string> ports;
    std::string error;
    if (!CollectFleetPorts(options, MakeDiscovery, &ports, &error)) {
        WriteAll(STDERR_FILENO, std::string(kProgramName) + ": " + error + "\n");
        return finish({}, 1);
    }
    LogMessage(LOG_APP, 'I', __LINE__, 0, "[[[ Fleet run: %zu printers, at most %d at once ]]]", ports.size(),
               options.nParallel);

    std::vector<FleetResult> results(ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) results[i].strPort = ports[i];
    FleetView view(STDERR_FILENO, ::isatty(STDERR_FILENO) != 0, ports);

    // Once for all: no child may start the spooler again under another one's transfer.
    view.Message(StrPrintf("Updating %zu printers, at most %d at once.", ports.size(), options.nParallel));
    SpoolerControl(FALSE, nullptr);
    PosServiceControl(FALSE);

    UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const std::string program = SelfPath();
    std::deque<std::size_t> pending;
    for (std::size_t i = 0; i < ports.size(); ++i) pending.push_back(i);
    std::vector<std::unique_ptr<Child>> running;
    int nInterrupts = 0;

    auto startNext = [&] {
        std::size_t nIndex = pending.front();
        pending.pop_front();
        int outPipe[2], errPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0) outPipe[0] = outPipe[1] = -1;
        if (::pipe2(errPipe, O_CLOEXEC) != 0) errPipe[0] = errPipe[1] = -1;
        UniqueFd outRead(outPipe[0]), outWrite(outPipe[1]), errRead(errPipe[0]), errWrite(errPipe[1]);
        auto child = std::make_unique<Child>();
        child->nIndex = nIndex;
        // Its own process group: a Ctrl+C reaches the children only through the parent.
        BOOL bStarted = outRead && errRead &&
                        SpawnProcess(FleetChildArgs(program, options, ports[nIndex]), true,
                                     SpawnStdio{devNull.Get(), outWrite.Get(), errWrite.Get()}, &child->pid);
        if (!bStarted) {
            DWORD dwError = GetLastError();
            LogMessage(LOG_ERROR, 'E', __LINE__, dwError, "Cannot start the update of [%s]", ports[nIndex].c_str());
            results[nIndex].nExitStatus = 1;
            results[nIndex].strJson = ResultOfChild(ports[nIndex], "", 1);
            view.SetPhase(nIndex, StrPrintf("cannot start kelvo-cli (error %u)", dwError));
            return;
        }
        LogMessage(LOG_APP, 'I', __LINE__, 0, "Update of [%s] started [pid %d]", ports[nIndex].c_str(),
                   static_cast<int>(child->pid));
        ::fcntl(outRead.Get(), F_SETFL, O_NONBLOCK);
        ::fcntl(errRead.Get(), F_SETFL, O_NONBLOCK);
        child->out = std::move(outRead);
        child->err = std::move(errRead);
        view.SetPhase(nIndex, "started");
        running.push_back(std::move(child));
    };
    auto forwardInterrupt = [&] {
        for (const auto& child : running) ::kill(child->pid, SIGINT);
    };
    auto onInterrupt = [&] {
        ++nInterrupts;
        LogMessage(LOG_APP, 'I', __LINE__, 0, "Interrupted by the user [%d]", nInterrupts);
        if (nInterrupts == 1) {
            view.Message("Cancelling every update... Interrupt again to quit sooner.");
            for (std::size_t nIndex : pending) {
                results[nIndex].nExitStatus = 3;
                results[nIndex].strJson = NotStartedResult(ports[nIndex]);
                view.SetPhase(nIndex, "not started");
            }
            pending.clear();
            forwardInterrupt();
        } else if (nInterrupts == 2) {
            view.Message("Quitting: each update restores what it changed, then the services start again...");
            forwardInterrupt();
        }
    };
    auto childText = [&](Child& child) {
        std::size_t nEnd;
        while ((nEnd = child.errLine.find('\n')) != std::string::npos) {
            std::string line = child.errLine.substr(0, nEnd);
            child.errLine.erase(0, nEnd + 1);
            view.ChildLine(child.nIndex, std::string(Trim(line)));
        }
    };

    while (!pending.empty() || !running.empty()) {
        while (nInterrupts == 0 && !pending.empty() && running.size() < static_cast<std::size_t>(options.nParallel)) {
            startNext();
        }
        if (running.empty()) continue;
        std::vector<pollfd> fds;
        fds.push_back(pollfd{fdInterrupt, POLLIN, 0});
        for (const auto& child : running) {
            fds.push_back(pollfd{child->out.Get(), POLLIN, 0});
            fds.push_back(pollfd{child->err.Get(), POLLIN, 0});
        }
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
        if (fdInterrupt >= 0 && (fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo info;
            while (::read(fdInterrupt, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) onInterrupt();
        }
        for (std::size_t i = 0; i < running.size(); ++i) {
            Child& child = *running[i];
            if (fds[1 + 2 * i].revents != 0 && !ReadSome(child.out.Get(), &child.outText)) child.out.Reset();
            if (fds[2 + 2 * i].revents != 0) {
                if (!ReadSome(child.err.Get(), &child.errLine)) {
                    child.err.Reset();
                    child.errLine += "\n";
                }
                childText(child);
            }
        }
        // A child whose streams have both ended is ending: reap it.
        for (auto it = running.begin(); it != running.end();) {
            Child& child = **it;
            if (child.out || child.err) {
                ++it;
                continue;
            }
            int nExitCode = 1;
            if (WaitForProcess(child.pid, INFINITE, &nExitCode) != WAIT_OBJECT_0) nExitCode = 1;
            const std::string& port = ports[child.nIndex];
            LogMessage(LOG_APP, 'I', __LINE__, 0, "Update of [%s] ended: exit status %d", port.c_str(), nExitCode);
            results[child.nIndex].nExitStatus = nExitCode;
            results[child.nIndex].strJson = ResultOfChild(port, child.outText, nExitCode);
            view.SetPhase(child.nIndex, StrPrintf("ended: exit status %d", nExitCode));
            it = running.erase(it);
        }
    }

    const ServiceLimits& limits = nInterrupts >= 2 ? kQuitLimits : kServiceLimits;
    SpoolerControl(TRUE, nullptr, limits);
    PosServiceControl(TRUE, limits);
    int nCounts[4] = {};
    for (const FleetResult& result : results) ++nCounts[result.nExitStatus >= 0 && result.nExitStatus <= 3 ? result.nExitStatus : 1];
    view.Message(StrPrintf("%s: %zu printers: %d updated, %d current, %d failed, %d cancelled", kProgramName,
                           results.size(), nCounts[0], nCounts[2], nCounts[1], nCounts[3]),
                 false);
    return finish(results, FleetExitStatus(results, nInterrupts > 0));
}
