// 8 MiB to a simulated usblp node (a pty under a private system root) whose printer end
// reads and discards at memory speed: through the port service in the engine's 4096-byte
// blocks, and through a plain write() loop on the same node, so the two times and CPU
// costs can be compared in one run. Arguments of the service case: the log (1 the
// program's mask, every chunk hex-dumped as in a real run; 0 off), and the write size (1
// the engine's 4096-byte blocks, each a call with its own sending thread; 0 one call).
// Then the same node read at a printer's pace (BM_PacedPrinter), a node as strict as
// usblp about its one transfer (BM_PacedUsblp), and in the kernel lab the real usblp
// (BM_LabGadget).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

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
    const std::string& Root() const { return m_root.Path(); }
    unsigned long long Received() const { return m_drain->Received(); }
    void WaitFor(unsigned long long cbTotal) const { m_drain->WaitFor(cbTotal); }
    void Pace(DWORD cbPerSecond) { m_drain->Pace(cbPerSecond); }
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

// A plain write() loop in blocks of kBlock, waiting with poll() while the node is full.
void PlainWriteLoop(int fd, const BYTE* pData, std::size_t cbTotal) {
    for (std::size_t off = 0; off < cbTotal;) {
        ssize_t n = ::write(fd, pData + off, std::min(kBlock, cbTotal - off));
        if (n > 0) {
            off += static_cast<std::size_t>(n);
            continue;
        }
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 100);
    }
}

UniqueFd OpenNode(const Bench& b) {
    return UniqueFd(::open(b.Node().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
}

void BM_PlainWrite(benchmark::State& state) {
    Bench& b = Shared();
    UniqueFd fd = OpenNode(b);
    if (!fd) {
        state.SkipWithError("cannot open the node");
        return;
    }
    for (auto _ : state) {
        const unsigned long long cbStart = b.Received();
        PlainWriteLoop(fd.Get(), b.data.data(), kTotal);
        b.WaitFor(cbStart + kTotal);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kTotal));
}
BENCHMARK(BM_PlainWrite)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(5);

// A printer that takes 1,000,000 bytes/s (about what a full-speed USB printer accepts):
// 1 MiB in the engine's 4096-byte blocks through the port service (first argument 1; the
// second: the log with the program's mask, 1, or off, 0) against a plain write()/poll()
// loop on the same node (0). Here the per-call cost of the driver weighs against the
// printer's own pace.
constexpr DWORD kPrinterRate = 1000000;
constexpr std::size_t kPacedTotal = 1u << 20;

// The writer of a paced run, by the benchmark's arguments: the port service (opened and
// read once, as an update does) or a plain loop on the node, the log on or off. Ok()
// false: the benchmark has been skipped with the reason.
class PacedWriter {
public:
    PacedWriter(benchmark::State& state, const char* pszPort, const std::string& node) {
        const bool bService = state.range(0) != 0;
        LogSetup(state.range(1) != 0 ? LOG_PROGRAM_MASK : 0, "BenchUsb");
        if (bService) {
            m_bOk = bench::OpenAndRead(state, PORT_KIND_USB, pszPort, 64, "cannot open the port", &m_h);
            return;
        }
        m_fd.Reset(::open(node.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
        m_bOk = m_fd.Valid();
        if (!m_bOk) state.SkipWithError(("cannot open " + node).c_str());
    }
    ~PacedWriter() {
        if (m_h != 0) pfnClosePort(m_h, 0);
    }
    PacedWriter(const PacedWriter&) = delete;
    PacedWriter& operator=(const PacedWriter&) = delete;

    bool Ok() const { return m_bOk; }
    void Send(const BYTE* pData, std::size_t cb) {
        if (m_h != 0) {
            bench::WriteInCalls(m_h, pData, cb, kBlock, 30000);
        } else {
            PlainWriteLoop(m_fd.Get(), pData, cb);
        }
    }

private:
    bool m_bOk = false;
    HSDK m_h = 0;
    UniqueFd m_fd;
};

// Sends 1 MiB per iteration and waits until the printer has taken it. The counter
// rate_share is the printer's own time for the bytes over the time they took: 1.0 when
// the writer never kept the printer waiting.
template <class Printer>
void RunPaced(benchmark::State& state, PacedWriter& writer, const Printer& printer, const std::vector<BYTE>& data) {
    double seconds = 0;
    for (auto _ : state) {
        const unsigned long long cbStart = printer.Received();
        const auto t0 = std::chrono::steady_clock::now();
        writer.Send(data.data(), kPacedTotal);
        printer.WaitFor(cbStart + kPacedTotal);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
    const double need = static_cast<double>(state.iterations() * kPacedTotal) / kPrinterRate;
    state.counters["rate_share"] = seconds > 0 ? need / seconds : 0;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kPacedTotal));
}

// The pty node read at the printer's pace; the pty buffers 64 KiB ahead.
void BM_PacedPrinter(benchmark::State& state) {
    Bench& b = Shared();
    if (!b.Ok()) {
        state.SkipWithError("cannot make the simulated node");
        return;
    }
    PacedWriter writer(state, "USB001", b.Node());
    if (!writer.Ok()) return;
    b.Pace(kPrinterRate);
    RunPaced(state, writer, b, b.data);
    b.Pace(0);
}
BENCHMARK(BM_PacedPrinter)->Args({1, 1})->Args({1, 0})->Args({0, 0})->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(3);

// usblp takes one transfer at a time: a non-blocking write returns while it is under way
// and the node is writable again only once it has ended. A pty buffers 64 KiB ahead and
// hides every gap between two writes; here lp1 is a FIFO of one page that the printer
// empties only when the transfer of what it holds has taken its time at the printer's
// rate, so each gap the driver leaves between transfers is lost for good: a printer
// without a buffer of its own, stricter than any real one (and than the gadget of the
// lab, which keeps several transfers queued).
class UsblpPacedNode {
public:
    UsblpPacedNode(const std::string& root, DWORD cbPerSecond) : m_node(root, 1, sim::UsbIdentity{}), m_rate(cbPerSecond) {
        if (!m_node.Publish()) return;
        const std::string path = root + "/dev/usb/lp1";
        std::error_code ec;
        std::filesystem::remove(path, ec);
        if (::mkfifo(path.c_str(), 0600) != 0) return;
        m_fd.Reset(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!m_fd || ::fcntl(m_fd.Get(), F_SETPIPE_SZ, 4096) < 0) {
            m_fd.Reset();
            return;
        }
        m_thread = std::thread([this] { Serve(); });
    }
    ~UsblpPacedNode() {
        m_bStop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    bool Ok() const { return m_fd.Valid(); }
    unsigned long long Received() const { return m_cbReceived.load(); }
    void WaitFor(unsigned long long cbTotal) const {
        while (m_cbReceived.load() < cbTotal) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

private:
    void Serve() {
        using Clock = std::chrono::steady_clock;
        BYTE buf[4096];
        Clock::time_point tFree = Clock::now();
        while (!m_bStop) {
            pollfd p{m_fd.Get(), POLLIN, 0};
            if (::poll(&p, 1, 0) == 0) {
                // Idle: the next transfer starts when its bytes come, not earlier.
                if (::poll(&p, 1, 20) <= 0) continue;
                tFree = std::max(tFree, Clock::now());
            }
            int cbQueued = 0;
            if ((p.revents & POLLIN) == 0 || ::ioctl(m_fd.Get(), FIONREAD, &cbQueued) != 0 || cbQueued <= 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
                continue;
            }
            // The transfer ends after its bytes have crossed at the printer's rate; only
            // then is the node free for the next one.
            tFree += std::chrono::microseconds(static_cast<unsigned long long>(cbQueued) * 1000000ull / m_rate);
            std::this_thread::sleep_until(tFree);
            const ssize_t n = ::read(m_fd.Get(), buf, static_cast<std::size_t>(cbQueued));
            if (n > 0) m_cbReceived += static_cast<unsigned long long>(n);
        }
    }

    sim::UsbNode m_node;
    DWORD m_rate;
    UniqueFd m_fd;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<unsigned long long> m_cbReceived{0};
};

void BM_PacedUsblp(benchmark::State& state) {
    Bench& b = Shared();
    UsblpPacedNode node(b.Root(), kPrinterRate);
    if (!node.Ok()) {
        state.SkipWithError("cannot make the usblp-strict node");
        return;
    }
    PacedWriter writer(state, "USB002", b.Root() + "/dev/usb/lp1");
    if (writer.Ok()) RunPaced(state, writer, node, b.data);
}
BENCHMARK(BM_PacedUsblp)->Args({1, 1})->Args({1, 0})->Args({0, 0})->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(3);

// The kernel lab's figure (bench/usb/lab): the real usblp node /dev/usb/lp0 of a USB
// printer gadget whose end, KELVO_BENCH_GADGET (its /dev/g_printerN), is read here at the
// printer's pace. Skipped elsewhere.
void BM_LabGadget(benchmark::State& state) {
    const char* pszGadget = std::getenv("KELVO_BENCH_GADGET");
    if (pszGadget == nullptr) {
        state.SkipWithError("runs in the kernel lab only (bench/usb/lab)");
        return;
    }
    UniqueFd gadget(::open(pszGadget, O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!gadget) {
        state.SkipWithError("cannot open the gadget's node");
        return;
    }
    bench::Drain printer(gadget.Get(), false);
    printer.Pace(kPrinterRate);
    PacedWriter writer(state, "USB001", "/dev/usb/lp0");
    const std::vector<BYTE> data(kPacedTotal, 'A');
    if (writer.Ok()) RunPaced(state, writer, printer, data);
}
BENCHMARK(BM_LabGadget)->Args({1, 1})->Args({1, 0})->Args({0, 0})->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
