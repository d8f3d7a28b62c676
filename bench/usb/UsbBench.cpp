// 8 MiB to a simulated usblp node (a pty under a private system root) whose printer end
// reads and discards at memory speed: through the port service in the engine's 4096-byte
// blocks, and through a plain write() loop on the same node, so the two times and CPU
// costs can be compared in one run. Arguments of the service case: the log (1 the
// program's mask, every chunk hex-dumped as in a real run; 0 off), and the write size (1
// the engine's 4096-byte blocks, each a call with its own sending thread; 0 one call).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "platform/Event.h"
#include "platform/Tick.h"
#include "platform/UniqueFd.h"
#include "port/Globals.h"
#include "sim/UsbNode.h"

namespace {

constexpr std::size_t kTotal = 8u << 20;
constexpr std::size_t kBlock = 4096;

// The node and a thread that drains its printer end.
class Bench {
public:
    Bench() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvo-bench-XXXXXX").string();
        m_root = ::mkdtemp(pattern.data());
        std::filesystem::create_directories(m_root + "/var/log");
        ::setenv("KELVO_SYSROOT", m_root.c_str(), 1);
        m_node = std::make_unique<sim::UsbNode>(m_root, 0, sim::UsbIdentity{});
        m_bOk = m_node->Publish();
        if (m_bOk) m_thread = std::thread([this] { Drain(); });
    }
    ~Bench() {
        m_stop.Set();
        if (m_thread.joinable()) m_thread.join();
        m_node.reset();
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
    }
    bool Ok() const { return m_bOk; }
    std::string Node() const { return m_root + "/dev/usb/lp0"; }
    unsigned long long Received() const { return m_cbReceived.load(); }
    void WaitFor(unsigned long long cbTotal) const {
        Deadline limit(60000);
        while (m_cbReceived.load() < cbTotal && !limit.Expired()) std::this_thread::yield();
    }
    const std::vector<BYTE> data = std::vector<BYTE>(kTotal, 'A');

private:
    void Drain() {
        std::vector<BYTE> buf(1 << 16);
        std::array items{WaitItem::For(m_stop), WaitItem::ForFd(m_node->Master(), POLLIN)};
        while (WaitForAny(items, INFINITE) == WAIT_OBJECT_0 + 1) {
            ssize_t n = ::read(m_node->Master(), buf.data(), buf.size());
            if (n > 0) m_cbReceived += static_cast<unsigned long long>(n);
        }
    }
    std::string m_root;
    std::unique_ptr<sim::UsbNode> m_node;
    bool m_bOk = false;
    Event m_stop{true, false};
    std::atomic<unsigned long long> m_cbReceived{0};
    std::thread m_thread;
};

Bench& Shared() {
    static Bench bench;
    return bench;
}

void BM_PortServiceWrite(benchmark::State& state) {
    Bench& b = Shared();
    LogSetup(state.range(0) != 0 ? LOG_PROGRAM_MASK : 0, "BenchUsb");
    HSDK h = 0;
    if (!b.Ok() || !pfnOpenPort(0, PORT_KIND_USB, "USB001", &h)) {
        state.SkipWithError("cannot open USB001 on the simulated node");
        return;
    }
    // As in an update: the printer has been read (identified) before the transfer, so
    // writes no longer drain the reply channel first.
    BYTE reply[64];
    DWORD cbReply = 0;
    pfnReadPort(h, reply, sizeof reply, &cbReply);
    // Argument 2: the engine's 4096-byte blocks (1) or one write of everything (0).
    const std::size_t cbCall = state.range(1) != 0 ? kBlock : kTotal;
    for (auto _ : state) {
        const unsigned long long cbStart = b.Received();
        for (std::size_t off = 0; off < kTotal; off += cbCall) {
            DWORD cb = 0;
            pfnWritePortEx(h, b.data.data() + off, static_cast<DWORD>(cbCall), &cb, 30000);
        }
        b.WaitFor(cbStart + kTotal);
    }
    pfnClosePort(h, 0);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_PortServiceWrite)->Args({1, 1})->Args({0, 1})->Args({0, 0})->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(5);

void BM_PlainWrite(benchmark::State& state) {
    Bench& b = Shared();
    UniqueFd fd(::open(b.Node().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        state.SkipWithError("cannot open the node");
        return;
    }
    for (auto _ : state) {
        const unsigned long long cbStart = b.Received();
        for (std::size_t off = 0; off < kTotal;) {
            ssize_t n = ::write(fd.Get(), b.data.data() + off, std::min(kBlock, kTotal - off));
            if (n > 0) {
                off += static_cast<std::size_t>(n);
                continue;
            }
            pollfd p{fd.Get(), POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
        b.WaitFor(cbStart + kTotal);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_PlainWrite)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
