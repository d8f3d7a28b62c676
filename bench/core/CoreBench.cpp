// Start-up costs: the configuration file of a full model table, and a large font file
// read into its table with its checksum.
#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "config/ConfigFile.h"
#include "engine/UpdateFiles.h"
#include "ui/MsgBox.h"
#include "ui/Util.h"

namespace {

class BenchDir {
public:
    BenchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "kelvo-bench-XXXXXX").string();
        m_path = ::mkdtemp(tmpl.data());
        m_old = std::filesystem::current_path();
        std::filesystem::current_path(m_path);
    }
    ~BenchDir() {
        std::filesystem::current_path(m_old);
        std::filesystem::remove_all(m_path);
    }
    void Write(const std::string& name, const std::string& data) const {
        std::ofstream(m_path / name, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
    }

private:
    std::filesystem::path m_path;
    std::filesystem::path m_old;
};

void BM_LoadConfig64Rows(benchmark::State& state) {
    BenchDir dir;
    std::string text = "// Type ID, name, data kinds, interfaces, options\r\n";
    for (int i = 0; i < 64; ++i) {
        text += std::to_string(i) + ", \"ZAQ Model " + std::to_string(i) + "\", M|K|H|0x1000, IF_USB|IF_BT|IF_TCP|IF_COM, " +
                (i % 2 ? "WIRELESS_LAN|NO_BOOT_DEVID" : "0x10|REWRITE_AFTER_SEND") + " // row " + std::to_string(i) +
                "\r\n";
    }
    dir.Write("config.ini", text);
    ModelTableRows table;
    for (auto _ : state) {
        ResetModelTable(table);
        int nRows = LoadConfigFile(table);
        if (nRows != 64) state.SkipWithError("config did not load");
        benchmark::DoNotOptimize(table);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_LoadConfig64Rows);

void BM_LoadFont8MiB(benchmark::State& state) {
    BenchDir dir;
    const std::size_t cbFont = 8u << 20;
    std::string font(cbFont, '\0');
    for (std::size_t i = 0; i < cbFont; ++i) font[i] = static_cast<char>((i * 131) >> 3);
    dir.Write("KF1200A.bin", font);
    UpdateTable table;
    for (auto _ : state) {
        if (LoadUpdateFiles("KF*.bin", &table, 0, nullptr) != 0) state.SkipWithError("font did not load");
        benchmark::DoNotOptimize(table[0x12].wChecksum);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(cbFont));
}
BENCHMARK(BM_LoadFont8MiB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
