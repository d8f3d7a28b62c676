// A transfer to the simulated printer on a serial line paced at 115200 baud (11,520 bytes
// a second at 10 bits a byte), through the port service in 4096-byte blocks as an update
// sends them: the rate reached against the line rate ("line_ratio"), and the CPU spent.
// The printer runs in this process, so the CPU time includes its share.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/TransferBench.h"
#include "log/Log.h"
#include "port/Com.h"
#include "port/Globals.h"
#include "sim/Sim.h"
#include "support/SimExchange.h"
#include "support/SimSerial.h"

namespace {

constexpr DWORD kBaud = 115200;
constexpr double kLineBytesPerSecond = kBaud / 10.0;
constexpr std::size_t kBlock = 4096;
constexpr const char* kTty = "ttyACM0";

struct Bench {
    bench::SysRoot root;
    std::unique_ptr<sim::Printer> printer;
    const std::vector<BYTE> command = DeviceIdCommand();

    Bench() {
        // The program's own mask: dumps of every chunk are part of the real cost.
        LogSetup(LOG_PROGRAM_MASK, "BenchSerial");
        sim::Config config;
        printer = StartSerialPrinter(config, root.Path(), kTty, "acm", kBaud);
    }
};

double CpuSeconds() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// state.range(0): bytes sent.
void BM_SerialTransferAt115200(benchmark::State& state) {
    static Bench b;
    const std::size_t cbTotal = static_cast<std::size_t>(state.range(0));
    std::vector<BYTE> data(cbTotal, 'A');
    if (!b.printer) {
        state.SkipWithError("the simulated printer did not start");
        return;
    }
    HSDK h = 0;
    if (!bench::OpenAndRead(state, PORT_KIND_COM, kTty, 64, "cannot open the serial port", &h)) return;
    double dRatio = 0, dCpu = 0;
    for (auto _ : state) {
        const unsigned long long nFrom = NextSeq(*b.printer);
        const double dCpu0 = CpuSeconds();
        const auto t0 = std::chrono::steady_clock::now();
        bench::WriteInCalls(h, data.data(), cbTotal, kBlock, 10000);
        DWORD cb = 0;
        pfnWritePortEx(h, b.command.data(), static_cast<DWORD>(b.command.size()), &cb, 10000);
        // The printer logs the bytes it took once the command behind them arrives.
        b.printer->WaitForEvent("ignored", 600000, nullptr, nFrom);
        const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        state.SetIterationTime(dSeconds);
        const double cbLine = static_cast<double>(cbTotal + b.command.size());
        dRatio = cbLine / dSeconds / kLineBytesPerSecond;
        dCpu = (CpuSeconds() - dCpu0) / dSeconds;
    }
    pfnClosePort(h, 0);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * cbTotal));
    state.counters["line_ratio"] = dRatio;
    state.counters["cpu_share"] = dCpu;
}
BENCHMARK(BM_SerialTransferAt115200)->Arg(128 * 1024)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
