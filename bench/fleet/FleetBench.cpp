// Fifty printers updated by one kelvo-cli: sixteen at once (--parallel 16) against one
// after the other (--parallel 1). Each printer reads its firmware at a LAN printer's pace
// and restarts as the simulator's quick timings say; the ratio of the two times is what a
// fleet gains from running the updates side by side. A sampler adds up the resident
// memory of the program and all its children every 20 ms: the peak of that sum, the
// parent's peak, and the peak of the children's sum per child running at that moment.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "platform/UniqueFd.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"
#include "support/SimLan.h"

namespace {

constexpr int kPrinters = 50;
constexpr BYTE kTypeId = 0x22;

// /proc/PID/NAME; empty once the process is gone (it may go while it is read).
std::string ReadProc(const std::string& pid, const char* pszName) {
    UniqueFd fd(::open(("/proc/" + pid + "/" + pszName).c_str(), O_RDONLY | O_CLOEXEC));
    char buffer[1024];
    ssize_t n = fd ? ::read(fd.Get(), buffer, sizeof buffer) : -1;
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

struct Fleet {
    std::string root;
    std::vector<std::unique_ptr<sim::Printer>> printers;
    std::vector<std::string> args{KELVO_CLI_EXE, "--kind", "lan", "--json"};
    double dPeakMiB = 0;          // the whole tree
    int nPeakChildren = 0;
    double dPeakPerChildMiB = 0;  // the children's sum (without the parent) over those running then
    double dPeakParentMiB = 0;

    explicit Fleet(int nParallel) {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvo-bench-fleet-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        for (const char* psz : {"work", "config", "run", "root/var/log"}) std::filesystem::create_directories(root + "/" + psz);
        ::setenv("XDG_CONFIG_HOME", (root + "/config").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (root + "/run").c_str(), 1);
        ::setenv("KELVO_SYSROOT", (root + "/root").c_str(), 1);
        // No system bus: the service steps fail at once instead of touching this machine's.
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + root + "/no-bus").c_str(), 1);
        FILE* pConfig = std::fopen((root + "/work/config.ini").c_str(), "w");
        std::fputs("34,\"KV-T34\",M,IF_TCP,0\n", pConfig);
        std::fclose(pConfig);
        sim::UpdateFileRequest request;
        request.szKind = "FW";
        request.bTypeId = kTypeId;
        request.bRomId = 0x07;
        request.cbSize = 60000;
        request.szDir = root + "/work";
        sim::MadeFile made;
        sim::MakeUpdateFile(request, &made);
        for (int i = 0; i < kPrinters; ++i) {
            sim::Config config;
            config.state.bTypeId = kTypeId;
            config.state.bRomId = 0x05;
            config.faults.dwReadRate = 100000;  // a LAN printer's flash pace
            WORD wData = printers.empty() ? 0 : printers.front()->DataPort();
            WORD wStatus = printers.empty() ? 0 : printers.front()->StatusPort();
            std::string address = "127.91." + std::to_string(::getpid() % 250 + 1) + "." + std::to_string(i + 1);
            printers.push_back(StartLanPrinter(config, address, wData, wStatus));
            if (!printers.back()) std::abort();
            args.push_back("--port");
            args.push_back(address);
        }
        ::setenv("KELVO_LAN_PORTS",
                 (std::to_string(printers.front()->DataPort()) + "," + std::to_string(printers.front()->StatusPort())).c_str(), 1);
        args.push_back("--parallel");
        args.push_back(std::to_string(nParallel));
    }
    ~Fleet() {
        printers.clear();
        std::filesystem::remove_all(root);
    }
    int Run() {
        UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
        std::filesystem::current_path(root + "/work");
        pid_t pid = -1;
        if (!SpawnProcess(args, false, SpawnStdio{devNull.Get(), devNull.Get(), devNull.Get()}, &pid)) return -1;
        std::atomic<bool> bDone{false};
        std::thread sampler([&] {
            while (!bDone) {
                Sample(pid);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        int nExit = -1;
        WaitForProcess(pid, INFINITE, &nExit);
        bDone = true;
        sampler.join();
        return nExit;
    }

    // The resident bytes of pid and its descendants now, and how many children it has.
    void Sample(pid_t root) {
        std::map<pid_t, pid_t> parents;
        std::map<pid_t, long> rss;
        std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), &::closedir);
        while (dirent* pEntry = proc ? ::readdir(proc.get()) : nullptr) {
            std::string name = pEntry->d_name;
            if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
            std::string text = ReadProc(name, "stat");
            std::size_t nClose = text.rfind(')');
            if (nClose == std::string::npos) continue;
            std::istringstream fields(text.substr(nClose + 1));
            std::string state;
            pid_t parent = 0;
            fields >> state >> parent;
            std::istringstream statm(ReadProc(name, "statm"));
            long nSize = 0, nResident = 0;
            statm >> nSize >> nResident;
            pid_t pid = static_cast<pid_t>(std::stol(name));
            parents[pid] = parent;
            rss[pid] = nResident;
        }
        long nPages = 0;
        long nParentPages = 0;
        int nChildren = 0;
        for (const auto& [pid, nResident] : rss) {
            pid_t at = pid;
            int nDepth = 0;
            while (at > 1 && at != root && nDepth < 8) {
                at = parents.count(at) != 0 ? parents[at] : 0;
                ++nDepth;
            }
            if (at != root) continue;
            nPages += nResident;
            if (pid == root) nParentPages = nResident;
            if (pid != root && parents[pid] == root) ++nChildren;
        }
        const double dPageMiB = static_cast<double>(::sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
        const double dMiB = static_cast<double>(nPages) * dPageMiB;
        // The parent is counted once, not shared out over the children: with one child
        // running, the whole tree over the children would be the parent's size plus one.
        const double dChildrenMiB = static_cast<double>(nPages - nParentPages) * dPageMiB;
        const double dParentMiB = static_cast<double>(nParentPages) * dPageMiB;
        if (dMiB > dPeakMiB) dPeakMiB = dMiB;
        if (dParentMiB > dPeakParentMiB) dPeakParentMiB = dParentMiB;
        if (nChildren > nPeakChildren) nPeakChildren = nChildren;
        if (nChildren > 0 && dChildrenMiB / nChildren > dPeakPerChildMiB) dPeakPerChildMiB = dChildrenMiB / nChildren;
    }
};

void BM_FiftyUpdates(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto fleet = std::make_unique<Fleet>(static_cast<int>(state.range(0)));
        state.ResumeTiming();
        int nExit = fleet->Run();
        state.PauseTiming();
        if (nExit != 0) state.SkipWithError("a kelvo-cli run failed");
        state.counters["peak_tree_MiB"] = fleet->dPeakMiB;
        state.counters["peak_children"] = fleet->nPeakChildren;
        state.counters["peak_MiB_per_child"] = fleet->dPeakPerChildMiB;
        state.counters["peak_parent_MiB"] = fleet->dPeakParentMiB;
        fleet.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FiftyUpdates)->ArgName("parallel")->Arg(1)->Arg(16)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
