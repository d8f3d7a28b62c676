// kelvo-cli: updates a ZAQ receipt printer from a terminal or a script.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <array>
#include <cstring>
#include <string>

#include "cli/CliSession.h"
#include "cli/EngineLink.h"
#include "cli/Fleet.h"
#include "cli/InitConfig.h"
#include "cli/Options.h"
#include "cli/Preflight.h"
#include "config/ConfigFile.h"
#include "cli/Report.h"
#include "engine/Kelvo.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Signals.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"
#include "system/Service.h"
#include "ui/StringTable.h"

namespace {

constexpr const char* kProgramName = "kelvo-cli";

void PrintTo(FILE* pFile, const std::string& text) {
    std::fputs(text.c_str(), pFile);
    std::fflush(pFile);
}

// The end of every run that got past the options: summary on stderr, JSON on stdout.
int Finish(CliReport report, const CliOptions& options, DWORD dwStart) {
    report.nExitStatus = ExitStatusFromResult(report.dwResult);
    report.dwDurationMs = GetTickCount() - dwStart;
    PrintTo(stderr, std::string(kProgramName) + ": " + CliResultText(report) + "\n" + kProgramName + ": " +
                        CliResultLine(report) + "\n");
    if (options.bJson) PrintTo(stdout, CliReportJson(report) + "\n");
    return report.nExitStatus;
}

// --list: the ports of the kind, one line each as the port list shows them.
int RunList(const CliOptions& options) {
    if (!options.nKind) {
        PrintTo(stderr, std::string(kProgramName) + ": --list needs --kind\n");
        return 1;
    }
    std::vector<std::string> lines;
    bool bHasDiscovery = false;
    int nFound = DiscoverPorts(MakeDiscovery, *options.nKind, &lines, &bHasDiscovery);
    for (const std::string& line : lines) PrintTo(stdout, line + "\n");
    if (!bHasDiscovery) {
        PrintTo(stderr, std::string(kProgramName) + ": this program cannot search for " + PortKindWord(*options.nKind) +
                            " printers yet; name the port with --port\n");
    }
    if (nFound < 1) {
        PrintTo(stderr, LoadResString(IDS_NO_PORT_FOUND) + "\n");
        return 1;
    }
    return 0;
}

// What an update that was killed before it could start them again left stopped.
void StartOrphanedServices() {
    for (const OrphanedUnits& orphan : StartOrphanedUnits()) {
        std::string units;
        for (const std::string& unit : orphan.units) units += (units.empty() ? "" : ", ") + unit;
        PrintTo(stderr, StrPrintf("%s: started again %s, which an update (process %d) stopped and did not start "
                                  "before it ended\n",
                                  kProgramName, units.c_str(), static_cast<int>(orphan.pid)));
    }
}

}  // namespace

int main(int argc, char** argv) {
    DWORD dwStart = GetTickCount();
    // First: a child must not go on when its parent has gone.
    const FleetChannel channel = TakeFleetChannel();
    if (channel == FleetChannel::ParentGone) return 1;
    CliOptions options;
    std::string error;
    if (!ParseCliOptions(argc - 1, argv + 1, &options, &error)) {
        PrintTo(stderr, std::string(kProgramName) + ": " + error + "\nTry 'kelvo-cli --help'.\n");
        return 1;
    }
    options.bFleetChild = channel == FleetChannel::Child;
    ApplyAddressKind(&options);
    if (options.bHelp) {
        PrintTo(stdout, CliUsage());
        return 0;
    }
    if (options.bVersion) {
        PrintTo(stdout, std::string(kProgramName) + " " + KELVO_VERSION + "\n");
        return 0;
    }
    // Names given on the command line are of the folder the command was started in.
    for (std::string* pPath : {&options.strPortsFrom, &options.strRetryFailed}) {
        if (pPath->empty() || pPath->starts_with('/')) continue;
        std::array<char, 4096> cwd{};
        if (::getcwd(cwd.data(), cwd.size()) != nullptr) *pPath = std::string(cwd.data()) + "/" + *pPath;
    }
    if (!options.bFleetChild) {
        // Children leave services to their parent, which has done this.
        StartOrphanedServices();
        EnableStoppedUnitsRecord(
            [](const std::string& sentence) { PrintTo(stderr, std::string(kProgramName) + ": note: " + sentence + "\n"); });
    }
    if (!options.strDir.empty() && ::chdir(options.strDir.c_str()) != 0) {
        int err = errno;
        CliReport report;
        report.dwResult = ErrnoToWinError(err);
        report.messages.push_back("Cannot work in " + options.strDir + ": " + std::strerror(err));
        PrintTo(stderr, std::string(kProgramName) + ": " + report.messages.back() + "\n");
        return Finish(report, options, dwStart);
    }
    if (options.bInitConfig) {
        std::string message;
        int nStatus = WriteStartingConfig(options, &message);
        PrintTo(stderr, std::string(kProgramName) + ": " + message + "\n");
        return nStatus;
    }
    if (options.bList) return RunList(options);
    if (options.bFleetChild) {
        if (options.strPort.empty() || IsFleetRun(options)) {
            PrintTo(stderr, std::string(kProgramName) + ": a run of a fleet needs exactly one --port\n");
            return 1;
        }
        SetFleetChildPort(options.strPort);
    }

    // A reader that goes away (kelvo-cli ... | head) must not end the program in the
    // middle of a transfer; its output is simply lost.
    ::signal(SIGPIPE, SIG_IGN);
    // Interrupts reach the main thread through a signalfd; every thread starts with them
    // blocked, so that none of them is cut short mid-transfer by the default action.
    UniqueFd signalFd = BlockCloseSignals();
    CProgressView view(STDERR_FILENO, ::isatty(STDERR_FILENO) != 0);
    if (IsFleetRun(options) && !options.bFleetChild) return RunFleet(options, signalFd.Get());
    CCliSession session(options, EngineWorkers(), MakeDiscovery, view, STDIN_FILENO, STDERR_FILENO, signalFd.Get());
    // The session has started again what the run stopped; the worker may still be in a
    // wait, so the program ends without waiting for it or running any destructor.
    session.SetSecondInterruptAction([&session, &options, dwStart] {
        CliReport report = session.Report();
        report.dwResult = ERROR_CANCELLED;
        const int nStatus = Finish(report, options, dwStart);
        LogFlush();  // _Exit runs no exit handler: the log's queue goes out first
        std::_Exit(nStatus);
    });
    InstallEngineHooks(session);

    std::string commandLine = options.nKind ? PortKindWord(*options.nKind) : "";
    RunKelvo(session, commandLine, kProgramName);

    // What start-up found wrong in config.ini, after its box.
    for (const std::string& note : TakeConfigNotes()) PrintTo(stderr, std::string(kProgramName) + ": " + note + "\n");
    CliReport report = session.Report();
    report.dwResult = theApp.nExitCode;
    // The desktop ends a second start with 0 after raising the first window; a script
    // must not read that as an update done.
    if (session.SawOtherInstance()) report.dwResult = ERROR_ALREADY_EXISTS;
    return Finish(report, options, dwStart);
}
