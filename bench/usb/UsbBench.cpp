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

#include <memory>
#include <string>
#include <vector>

#include "core/TransferBench.h"
#include "log/Log.h"
#include "platform/UniqueFd.h"
#include "port/Globals.h"
#include "sim/UsbNode.h"

namespace {

constexpr std::size_t kTotal = 8u << 20;
constexpr std::size_t kBlock = 4096;

// The node and a thread that drains its printer end (members end in reverse order: the
// drain before the node, the node before its root).
class Bench {
public:
    Bench() {
        m_node = std::make_unique<sim::UsbNode>(m_root.Path(), 0, sim::UsbIdentity{});
        if (m_node->Publish()) m_drain = std::make_unique<bench::Drain>(m_node->Master(), false);
    }
    bool Ok() const { return m_drain != nullptr; }
    std::string Node() const { return m_root.Path() + "/dev/usb/lp0"; }
    unsigned long long Received() const { return m_drain->Received(); }
    void WaitFor(unsigned long long cbTotal) const { m_drain->WaitFor(cbTotal); }
    const std::vector<BYTE> data = std::vector<BYTE>(kTotal, 'A');

private:
    bench::SysRoot m_root;
    std::unique_ptr<sim::UsbNode> m_node;
    std::unique_ptr<bench::Drain> m_drain;
};

Bench& Shared() {
    static Bench bench;
    return bench;
}

void BM_PortServiceWrite(benchmark::State& state) {
    Bench& b = Shared();
    LogSetup(state.range(0) != 0 ? LOG_PROGRAM_MASK : 0, "BenchUsb");
    HSDK h = 0;
    const char* pszError = "cannot open USB001 on the simulated node";
    if (!b.Ok()) {
        state.SkipWithError(pszError);
        return;
    }
    if (!bench::OpenAndRead(state, PORT_KIND_USB, "USB001", 64, pszError, &h)) return;
    // Argument 2: the engine's 4096-byte blocks (1) or one write of everything (0).
    const std::size_t cbCall = state.range(1) != 0 ? kBlock : kTotal;
    for (auto _ : state) {
        const unsigned long long cbStart = b.Received();
        bench::WriteInCalls(h, b.data.data(), kTotal, cbCall, 30000);
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
