// Message lines per second, dump throughput and the cost of a disabled category, each
// counted once the entries are in the file; and the same, and a whole update's wall time,
// while another process holds the log's folder lock in a loop (held 1950 ms, let go for
// 30 ms), side by side with the runs without it (argument 1: with the loop).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/UpdateBench.h"
#include "log/Log.h"
#include "log/LogFile.h"
#include "port/Icmp.h"
#include "support/LogLockHolder.h"
#include "ui/RecordingMessageBox.h"
#include "ui/Util.h"

namespace {

// A private system root for the run, removed at exit; the update benchmark brings its own.
bench::UpdateBench& Root() {
    static bench::UpdateBench root;
    return root;
}

void Setup() {
    Root();
    LogResetForTest();
    LogSetup(LOG_PROGRAM_MASK, "Bench");
}

// The lock loop of another process while a benchmark runs with argument 1.
std::unique_ptr<LogLockHolder> LockLoop(const benchmark::State& state) {
    if (state.range(0) == 0) return nullptr;
    std::filesystem::create_directories(Root().LogFolder());
    return std::make_unique<LogLockHolder>(Root().LogFolder() + "/" + kLogLockName, 1950, 30);
}

constexpr int kEntriesPerIteration = 1000;

void BM_MessageLine(benchmark::State& state) {
    Setup();
    auto loop = LockLoop(state);
    int i = 0;
    for (auto _ : state) {
        for (int n = 0; n < kEntriesPerIteration; ++n) {
            LogMessage(LOG_INFO, 'I', __LINE__, 0, "[192.168.0.10] Write(%d) done, %u bytes", i++, 4096u);
        }
        LogFlush();  // counted once written
    }
    state.SetItemsProcessed(state.iterations() * kEntriesPerIteration);
}
BENCHMARK(BM_MessageLine)->Arg(0)->Arg(1)->MeasureProcessCPUTime()->UseRealTime();

void BM_Dump(benchmark::State& state) {
    Setup();
    auto loop = LockLoop(state);
    std::vector<unsigned char> data(static_cast<std::size_t>(state.range(1)));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i);
    for (auto _ : state) {
        for (int n = 0; n < kEntriesPerIteration / 10; ++n) LogDump(LOG_TRANSMITTED, "192.168.0.10", data.data(), data.size());
        LogFlush();
    }
    state.SetItemsProcessed(state.iterations() * kEntriesPerIteration / 10);
    state.SetBytesProcessed(state.iterations() * kEntriesPerIteration / 10 * state.range(1));
}
BENCHMARK(BM_Dump)->Args({0, 64})->Args({0, 4096})->Args({1, 4096})->MeasureProcessCPUTime()->UseRealTime();

void BM_DisabledCategory(benchmark::State& state) {
    Setup();
    for (auto _ : state) LogMessage(LOG_TRACE, 'I', __LINE__, 0, "[srv] trace %d %s", 42, "never formatted");
}
BENCHMARK(BM_DisabledCategory);

// A whole 1 MiB firmware update over LAN, every block dumped, with and without the loop.
void BM_UpdateWallTime(benchmark::State& state) {
    if (!CIcmpEcho().Valid()) {
        state.SkipWithError("no ICMP echo socket here (ping_group_range, no CAP_NET_RAW)");
        return;
    }
    bench::UpdateBench& b = Root();
    LogResetForTest();
    LogSetup(LOG_PROGRAM_MASK, LOG_PROGRAM_NAME);
    auto loop = LockLoop(state);
    CRecordingMessageBox box;
    SetMessageBox(&box);
    bench::NullHost host;
    for (auto _ : state) {
        const char* pszWhy = "";
        double ms = b.RunOneUpdate(host, &pszWhy);
        if (ms < 0) {
            state.SkipWithError(pszWhy);
            break;
        }
        state.SetIterationTime(ms / 1000.0);
    }
    SetMessageBox(nullptr);
}
BENCHMARK(BM_UpdateWallTime)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
