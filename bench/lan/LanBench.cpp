// 8 MiB to the simulated printer's data channel: through the port service in 4096-byte
// blocks, and through a plain TCP socket, so the two times and CPU costs can be compared.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "log/Log.h"
#include "platform/UniqueFd.h"
#include "port/Globals.h"
#include "port/Lan2.h"
#include "sim/Sim.h"

namespace {

constexpr std::size_t kTotal = 8u << 20;
constexpr std::size_t kBlock = 4096;
const char* kAddress = "127.89.0.1";

struct Bench {
    std::string root;
    std::unique_ptr<sim::Printer> printer;
    std::vector<BYTE> data = std::vector<BYTE>(kTotal, 'A');
    std::vector<BYTE> command = std::vector<BYTE>(35, 0x00);

    Bench() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvo-bench-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        std::filesystem::create_directories(root + "/var/log");
        ::setenv("KELVO_SYSROOT", root.c_str(), 1);
        // The program's own mask: dumps of every chunk are part of the real cost.
        LogSetup(LOG_PROGRAM_MASK, "BenchLan");
        command[32] = 0x1D;
        command[33] = 0x49;
        command[34] = 0x01;
        sim::Config config;
        config.timing = sim::Timing::Fast();
        config.lan.szAddress = kAddress;
        config.lan.wDataPort = 0;
        config.lan.wStatusPort = 0;
        config.lan.bDiscovery = false;
        printer = std::make_unique<sim::Printer>(config);
        printer->Start();
        ::setenv("KELVO_LAN_PORTS",
                 (std::to_string(printer->DataPort()) + "," + std::to_string(printer->StatusPort())).c_str(), 1);
    }
    ~Bench() {
        printer.reset();
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    // Waits until the printer has taken everything sent so far.
    void WaitConsumed(unsigned long long nFrom) {
        printer->WaitForEvent("ignored", 60000, nullptr, nFrom);
    }
    unsigned long long NextSeq() const {
        auto t = printer->Transcript();
        return t.empty() ? 0 : t.back().nSeq + 1;
    }
};

Bench& Shared() {
    static Bench bench;
    return bench;
}

void BM_PortServiceWrite(benchmark::State& state) {
    Bench& b = Shared();
    HSDK h = 0;
    if (!pfnOpenPort(0, PORT_KIND_LAN, kAddress, &h)) {
        state.SkipWithError("cannot open the LAN port (ICMP echo not permitted?)");
        return;
    }
    // As in an update: the printer has been read (identified) before the transfer, so
    // writes no longer drain the reply channel first.
    BYTE status[8];
    DWORD cbStatus = 0;
    pfnReadPort(h, status, sizeof status, &cbStatus);
    for (auto _ : state) {
        unsigned long long nFrom = b.NextSeq();
        for (std::size_t off = 0; off < kTotal; off += kBlock) {
            DWORD cb = 0;
            pfnWritePortEx(h, b.data.data() + off, kBlock, &cb, 10000);
        }
        DWORD cb = 0;
        pfnWritePortEx(h, b.command.data(), static_cast<DWORD>(b.command.size()), &cb, 10000);
        b.WaitConsumed(nFrom);
    }
    pfnClosePort(h, 0);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_PortServiceWrite)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(3);

void BM_PlainSocketWrite(benchmark::State& state) {
    Bench& b = Shared();
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(b.printer->DataPort());
    ::inet_pton(AF_INET, kAddress, &a.sin_addr);
    if (::connect(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        state.SkipWithError("connect failed");
        return;
    }
    for (auto _ : state) {
        unsigned long long nFrom = b.NextSeq();
        for (std::size_t off = 0; off < kTotal;) {
            ssize_t n = ::send(s.Get(), b.data.data() + off, kTotal - off, MSG_NOSIGNAL);
            if (n <= 0) break;
            off += static_cast<std::size_t>(n);
        }
        ::send(s.Get(), b.command.data(), b.command.size(), MSG_NOSIGNAL);
        b.WaitConsumed(nFrom);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_PlainSocketWrite)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
