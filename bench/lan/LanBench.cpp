// 8 MiB to the simulated printer's data channel: through the port service in 4096-byte
// blocks, and through a plain TCP socket, so the two times and CPU costs can be compared.
// A second pair sends to a sink that reads and discards at memory speed, so the port
// service's own cost shows rather than the simulated printer's.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <string>
#include <vector>

#include "core/TransferBench.h"
#include "log/Log.h"
#include "platform/UniqueFd.h"
#include "port/Globals.h"
#include "port/Lan2.h"
#include "sim/Sim.h"
#include "support/SimExchange.h"
#include "support/SimLan.h"

namespace {

constexpr std::size_t kTotal = 8u << 20;
constexpr std::size_t kBlock = 4096;
const char* kAddress = "127.89.0.1";

struct Bench {
    bench::SysRoot root;
    std::unique_ptr<sim::Printer> printer;
    std::vector<BYTE> data = std::vector<BYTE>(kTotal, 'A');
    const std::vector<BYTE> command = DeviceIdCommand();

    Bench() {
        // The program's own mask: dumps of every chunk are part of the real cost.
        LogSetup(LOG_PROGRAM_MASK, "BenchLan");
        // Not strict about one image per data connection: the printer these figures
        // have always been taken against.
        printer = StartLanPrinter(sim::Config{}, kAddress, 0, 0, false);
        if (printer) ::setenv("KELVO_LAN_PORTS", LanPortsOf(*printer).c_str(), 1);
    }
    // Waits until the printer has taken everything sent so far.
    void WaitConsumed(unsigned long long nFrom) {
        printer->WaitForEvent("ignored", 60000, nullptr, nFrom);
    }
};

Bench& Shared() {
    static Bench bench;
    return bench;
}

const char* const kOpenError = "cannot open the LAN port (ICMP echo not permitted?)";

bool Started(benchmark::State& state, const Bench& b) {
    if (!b.printer) state.SkipWithError("the simulated printer did not start");
    return b.printer != nullptr;
}

void BM_PortServiceWrite(benchmark::State& state) {
    Bench& b = Shared();
    HSDK h = 0;
    if (!Started(state, b) || !bench::OpenAndRead(state, PORT_KIND_LAN, kAddress, 8, kOpenError, &h)) return;
    for (auto _ : state) {
        unsigned long long nFrom = NextSeq(*b.printer);
        bench::WriteInCalls(h, b.data.data(), kTotal, kBlock, 10000);
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
    if (!Started(state, b)) return;
    UniqueFd s = bench::ConnectTcp(kAddress, b.printer->DataPort());
    if (!s) {
        state.SkipWithError("connect failed");
        return;
    }
    for (auto _ : state) {
        unsigned long long nFrom = NextSeq(*b.printer);
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

// Takes one connection at a time on the printer's address and drops what it reads.
class Sink {
public:
    Sink() {
        m_listen.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, kAddress, &a.sin_addr);
        socklen_t len = sizeof a;
        if (::bind(m_listen.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(m_listen.Get(), 4) != 0 ||
            ::getsockname(m_listen.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        m_wPort = ntohs(a.sin_port);
        m_drain = std::make_unique<bench::Drain>(m_listen.Get(), true);
    }
    WORD Port() const { return m_wPort; }
    unsigned long long Received() const { return m_drain ? m_drain->Received() : 0; }
    // Waits until cbTotal bytes have arrived in all.
    void WaitFor(unsigned long long cbTotal) const {
        if (m_drain) m_drain->WaitFor(cbTotal);
    }

private:
    UniqueFd m_listen;
    WORD m_wPort = 0;
    std::unique_ptr<bench::Drain> m_drain;  // ends before the socket it reads
};

Sink& SharedSink() {
    static Sink sink;
    return sink;
}

// The port service's data channel goes to the sink; its status channel (the first read)
// to the simulated printer on the same address. Argument 1: the program's log mask (every
// chunk hex-dumped, as in a real run); 0: the log off, the service's own cost alone.
void BM_PortServiceToSink(benchmark::State& state) {
    Bench& b = Shared();
    if (!Started(state, b)) return;
    LogSetup(state.range(0) != 0 ? LOG_PROGRAM_MASK : 0, "BenchLan");
    Sink& sink = SharedSink();
    ::setenv("KELVO_LAN_PORTS", (std::to_string(sink.Port()) + "," + std::to_string(b.printer->StatusPort())).c_str(), 1);
    HSDK h = 0;
    const bool bOpen = bench::OpenAndRead(state, PORT_KIND_LAN, kAddress, 8, kOpenError, &h);
    ::setenv("KELVO_LAN_PORTS", LanPortsOf(*b.printer).c_str(), 1);
    if (!bOpen) return;
    for (auto _ : state) {
        unsigned long long cbStart = sink.Received();
        bench::WriteInCalls(h, b.data.data(), kTotal, kBlock, 10000);
        sink.WaitFor(cbStart + kTotal);
    }
    pfnClosePort(h, 0);
    LogSetup(LOG_PROGRAM_MASK, "BenchLan");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_PortServiceToSink)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(5);

void BM_PlainSocketToSink(benchmark::State& state) {
    Sink& sink = SharedSink();
    UniqueFd s = bench::ConnectTcp(kAddress, sink.Port());
    if (!s) {
        state.SkipWithError("connect failed");
        return;
    }
    std::vector<BYTE> data(kTotal, 'A');
    for (auto _ : state) {
        unsigned long long cbStart = sink.Received();
        for (std::size_t off = 0; off < kTotal; off += kBlock) {
            for (std::size_t done = 0; done < kBlock;) {
                ssize_t n = ::send(s.Get(), data.data() + off + done, kBlock - done, MSG_NOSIGNAL);
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
        }
        sink.WaitFor(cbStart + kTotal);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_PlainSocketToSink)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
