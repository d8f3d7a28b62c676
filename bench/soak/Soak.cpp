// Consecutive updates (firmware and a Kanji font) of one simulated LAN printer, all in
// one process, each a whole kelvo-cli run: the terminal session, the engine's workers, the
// port service with its LAN driver. Prints the fds, threads and resident memory before
// the first run and after the last; any growth, or a run that does not succeed, makes
// the exit status non-zero.
//   soak [RUNS]   (default 100; needs an ICMP echo socket: root or ping_group_range)
#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "cli/CliSession.h"
#include "cli/EngineLink.h"
#include "cli/Options.h"
#include "engine/Kelvo.h"
#include "platform/UniqueFd.h"
#include "port/Icmp.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"
#include "support/SimLan.h"
#include "support/TempDir.h"

namespace {

constexpr BYTE kTypeId = 0x22;  // a model without a special first block over LAN
// Memory the allocator may keep after the first runs without it being a leak.
constexpr long kRssSlackKb = 512;

struct Usage {
    int nFds = 0;
    int nThreads = 0;
    long nRssKb = 0;
};

int CountEntries(const char* pszDir) {
    int n = 0;
    if (DIR* pDir = ::opendir(pszDir)) {
        while (dirent* pEntry = ::readdir(pDir)) n += pEntry->d_name[0] != '.';
        ::closedir(pDir);
    }
    return n;
}

Usage Measure() {
    Usage usage;
    usage.nFds = CountEntries("/proc/self/fd") - 1;  // less the listing's own
    usage.nThreads = CountEntries("/proc/self/task");
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) usage.nRssKb = std::atol(line.c_str() + 6);
    }
    return usage;
}

void Print(const char* pszWhen, const Usage& usage) {
    std::printf("%-10s fds %d, threads %d, RSS %ld kB\n", pszWhen, usage.nFds, usage.nThreads, usage.nRssKb);
    std::fflush(stdout);
}

bool MakeFile(const std::string& kind, BYTE bRomId, DWORD cbSize, const std::string& dir, DWORD dwSeed = 1) {
    sim::UpdateFileRequest request;
    request.dwSeed = dwSeed;
    request.szKind = kind;
    request.bTypeId = kTypeId;
    request.bRomId = bRomId;
    request.cbSize = cbSize;
    request.szDir = dir;
    sim::MadeFile made;
    return sim::MakeUpdateFile(request, &made) != FALSE;
}

// The printer runs in a child process: its transcript grows with every run, and that is
// not the engine's memory. The child ends when *pControl is closed.
bool StartPrinterProcess(const std::string& address, pid_t* pPid, UniqueFd* pControl, std::string* pPorts) {
    int toChild[2], fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0) return false;
    if (::pipe2(fromChild, O_CLOEXEC) != 0) {
        ::close(toChild[0]);
        ::close(toChild[1]);
        return false;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(toChild[1]);
        ::close(fromChild[0]);
        sim::Config config;
        config.state.bTypeId = kTypeId;
        config.state.bRomId = 0x05;
        std::unique_ptr<sim::Printer> printer = StartLanPrinter(config, address);
        std::string ports = (printer ? LanPortsOf(*printer) : std::string()) + "\n";
        if (::write(fromChild[1], ports.data(), ports.size()) < 0) ::_exit(1);
        char ch;
        while (::read(toChild[0], &ch, 1) > 0) {
        }
        printer.reset();
        ::_exit(0);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    UniqueFd control(toChild[1]), answer(fromChild[0]);
    if (pid < 0) return false;
    *pPid = pid;
    *pControl = std::move(control);
    std::string ports;
    char ch;
    while (::read(answer.Get(), &ch, 1) == 1 && ch != '\n') ports += ch;
    *pPorts = ports;
    return !ports.empty();
}

// One run as kelvo-cli --kind lan --port ADDRESS --force does it; its result code.
DWORD RunOnce(const std::string& address, int fdNull, CliReport* pReport) {
    CliOptions options;
    options.nKind = PORT_KIND_LAN;
    options.strPort = address;
    options.bForce = true;  // the printer holds this firmware after the first run
    CProgressView view(fdNull, false);
    CCliSession session(options, EngineWorkers(), MakeDiscovery, view, fdNull, fdNull, -1);
    InstallEngineHooks(session);
    RunKelvo(session, PortKindWord(PORT_KIND_LAN), "kelvo-cli");
    *pReport = session.Report();
    return theApp.nExitCode;
}

}  // namespace

int main(int argc, char** argv) {
    int nRuns = argc > 1 ? std::atoi(argv[1]) : 100;
    if (nRuns < 2) {
        std::fprintf(stderr, "soak: RUNS must be 2 or more\n");
        return 1;
    }
    if (!CIcmpEcho().Valid()) {
        std::fprintf(stderr, "soak: no ICMP echo socket here (ping_group_range, no CAP_NET_RAW)\n");
        return 1;
    }
    TempDir root;
    for (const char* psz : {"work", "config", "run", "root/var/log"}) std::filesystem::create_directories(root / psz);
    root.Write("work/config.ini", "34,\"KV-T34\",M|K,IF_TCP,0\n");
    if (!MakeFile("FW", 0x07, 30000, root / "work")) {
        std::fprintf(stderr, "soak: cannot write the firmware file\n");
        return 1;
    }
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (root / "run").c_str(), 1);
    ::setenv("KELVO_SYSROOT", (root / "root").c_str(), 1);
    // The runs stop and start services: never those of this machine.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (root / "no-system-bus")).c_str(), 1);
    ::setenv("CUPS_SERVER", (root / "no-cups.sock").c_str(), 1);
    if (::chdir((root / "work").c_str()) != 0) return 1;

    const std::string address = "127.91." + std::to_string(::getpid() % 250 + 1) + ".1";
    pid_t printerPid = -1;
    UniqueFd printerControl;
    std::string ports;
    bool bPrinter = StartPrinterProcess(address, &printerPid, &printerControl, &ports);
    auto stopPrinter = [&] {
        printerControl.Reset();
        if (printerPid > 0) ::waitpid(printerPid, nullptr, 0);
    };
    if (!bPrinter) {
        std::fprintf(stderr, "soak: the simulated printer cannot listen on %s\n", address.c_str());
        stopPrinter();
        return 1;
    }
    ::setenv("KELVO_LAN_PORTS", ports.c_str(), 1);
    UniqueFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
    Print("before", Measure());

    // The first run settles what lives for the whole process (log files, the port
    // service, the allocator's arenas); growth is counted from after it.
    int nFailed = 0;
    Usage first;
    for (int i = 0; i < nRuns; ++i) {
        // A font the printer does not hold yet, so that every run sends it.
        if (!MakeFile("KF", 0, 9000, root / "work", static_cast<DWORD>(i + 1))) {
            std::fprintf(stderr, "soak: cannot write the font file\n");
            return 1;
        }
        CliReport report;
        DWORD dwResult = RunOnce(address, null.Get(), &report);
        bool bBoth = report.sent.size() == 2 && report.sent[0] == "FW" && report.sent[1] == "KF";
        if (dwResult != 0 || !bBoth) {
            ++nFailed;
            std::string sent;
            for (const std::string& kind : report.sent) sent += " " + kind;
            std::fprintf(stderr, "soak: run %d: result %u, sent:%s\n", i + 1, static_cast<unsigned>(dwResult), sent.c_str());
        }
        if (i == 0) {
            first = Measure();
            Print("after 1", first);
        }
    }
    Usage last = Measure();
    Print(("after " + std::to_string(nRuns)).c_str(), last);
    stopPrinter();
    bool bGrew = last.nFds > first.nFds || last.nThreads > first.nThreads || last.nRssKb > first.nRssKb + kRssSlackKb;
    std::printf("%d runs, %d failed; %s\n", nRuns, nFailed, bGrew ? "GROWTH" : "no growth");
    return nFailed == 0 && !bGrew ? 0 : 1;
}
