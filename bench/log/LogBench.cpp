// Message lines per second, dump throughput and the cost of a disabled category.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "log/Log.h"

namespace {

// A private system root for the run, removed at exit.
struct BenchRoot {
    std::string path;
    BenchRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvo-bench-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
        std::filesystem::create_directories(path + "/var/log");
        ::setenv("KELVO_SYSROOT", path.c_str(), 1);
    }
    ~BenchRoot() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

BenchRoot& Root() {
    static BenchRoot root;
    return root;
}

void Setup() {
    Root();
    LogResetForTest();
    LogSetup(LOG_PROGRAM_MASK, "Bench");
}

void BM_MessageLine(benchmark::State& state) {
    Setup();
    int i = 0;
    for (auto _ : state) LogMessage(LOG_INFO, 'I', __LINE__, 0, "[192.168.0.10] Write(%d) done, %u bytes", i++, 4096u);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MessageLine);

void BM_Dump(benchmark::State& state) {
    Setup();
    std::vector<unsigned char> data(static_cast<std::size_t>(state.range(0)));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i);
    for (auto _ : state) LogDump(LOG_TRANSMITTED, "192.168.0.10", data.data(), data.size());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Dump)->Arg(64)->Arg(4096);

void BM_DisabledCategory(benchmark::State& state) {
    Setup();
    for (auto _ : state) LogMessage(LOG_TRACE, 'I', __LINE__, 0, "[srv] trace %d %s", 42, "never formatted");
}
BENCHMARK(BM_DisabledCategory);

}  // namespace

BENCHMARK_MAIN();
