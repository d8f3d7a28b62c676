// Five printers updated by one kelvo-cli: all at once (--parallel 5) against one after
// the other (--parallel 1). Each printer reads its firmware at a LAN printer's pace and
// restarts as the simulator's quick timings say; the ratio of the two times is what a
// fleet gains from running the updates side by side.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "platform/UniqueFd.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"
#include "support/SimLan.h"

namespace {

constexpr int kPrinters = 5;
constexpr BYTE kTypeId = 0x22;

struct Fleet {
    std::string root;
    std::vector<std::unique_ptr<sim::Printer>> printers;
    std::vector<std::string> args{KELVO_CLI_EXE, "--kind", "lan", "--json"};

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
        int nExit = -1;
        WaitForProcess(pid, INFINITE, &nExit);
        return nExit;
    }
};

void BM_FiveUpdates(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        auto fleet = std::make_unique<Fleet>(static_cast<int>(state.range(0)));
        state.ResumeTiming();
        int nExit = fleet->Run();
        state.PauseTiming();
        if (nExit != 0) state.SkipWithError("a kelvo-cli run failed");
        fleet.reset();
        state.ResumeTiming();
    }
}
BENCHMARK(BM_FiveUpdates)->ArgName("parallel")->Arg(1)->Arg(5)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
