// 8 MiB to the simulated printer's data channel: through the port service in 4096-byte
// blocks, and through a plain TCP socket, so the two times and CPU costs can be compared.
// A second pair sends to a sink that reads and discards at memory speed, so the port
// service's own cost shows rather than the simulated printer's.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "log/Log.h"
#include "platform/Event.h"
#include "platform/Tick.h"
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
        m_thread = std::thread([this] { Run(); });
    }
    ~Sink() {
        m_stop.Set();
        if (m_thread.joinable()) m_thread.join();
    }
    WORD Port() const { return m_wPort; }
    unsigned long long Received() const { return m_cbReceived.load(); }
    // Waits until cbTotal bytes have arrived in all.
    void WaitFor(unsigned long long cbTotal) const {
        Deadline limit(60000);
        while (m_cbReceived.load() < cbTotal && !limit.Expired()) std::this_thread::yield();
    }

private:
    void Run() {
        std::vector<BYTE> buf(1 << 16);
        UniqueFd conn;
        for (;;) {
            std::array items{WaitItem::For(m_stop), conn ? WaitItem::ForFd(conn.Get(), POLLIN)
                                                         : WaitItem::ForFd(m_listen.Get(), POLLIN)};
            DWORD dwWait = WaitForAny(items, INFINITE);
            if (dwWait != WAIT_OBJECT_0 + 1) return;
            if (!conn) {
                conn.Reset(::accept4(m_listen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
                continue;
            }
            ssize_t n = ::recv(conn.Get(), buf.data(), buf.size(), 0);
            if (n <= 0) {
                conn.Reset();
                continue;
            }
            m_cbReceived += static_cast<unsigned long long>(n);
        }
    }
    UniqueFd m_listen;
    WORD m_wPort = 0;
    Event m_stop{true, false};
    std::atomic<unsigned long long> m_cbReceived{0};
    std::thread m_thread;
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
    LogSetup(state.range(0) != 0 ? LOG_PROGRAM_MASK : 0, "BenchLan");
    Sink& sink = SharedSink();
    ::setenv("KELVO_LAN_PORTS", (std::to_string(sink.Port()) + "," + std::to_string(b.printer->StatusPort())).c_str(), 1);
    HSDK h = 0;
    BOOL bOpen = pfnOpenPort(0, PORT_KIND_LAN, kAddress, &h);
    ::setenv("KELVO_LAN_PORTS",
             (std::to_string(b.printer->DataPort()) + "," + std::to_string(b.printer->StatusPort())).c_str(), 1);
    if (!bOpen) {
        state.SkipWithError("cannot open the LAN port (ICMP echo not permitted?)");
        return;
    }
    BYTE status[8];
    DWORD cbStatus = 0;
    pfnReadPort(h, status, sizeof status, &cbStatus);
    for (auto _ : state) {
        unsigned long long cbStart = sink.Received();
        for (std::size_t off = 0; off < kTotal; off += kBlock) {
            DWORD cb = 0;
            pfnWritePortEx(h, b.data.data() + off, kBlock, &cb, 10000);
        }
        sink.WaitFor(cbStart + kTotal);
    }
    pfnClosePort(h, 0);
    LogSetup(LOG_PROGRAM_MASK, "BenchLan");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_PortServiceToSink)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(5);

void BM_PlainSocketToSink(benchmark::State& state) {
    Sink& sink = SharedSink();
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(sink.Port());
    ::inet_pton(AF_INET, kAddress, &a.sin_addr);
    if (::connect(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
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
