// A whole firmware update of 1 MiB over LAN against the simulated printer, compared with
// the protocol's floor: the pauses the run prescribes on LAN plus the time a plain TCP
// socket needs to push the same file to a printer of the same configuration.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "core/UpdateBench.h"
#include "platform/UniqueFd.h"
#include "port/Globals.h"
#include "port/Icmp.h"
#include "system/Service.h"
#include "ui/RecordingMessageBox.h"
#include "ui/Util.h"

namespace {

using bench::Clock;
using bench::MsSince;

// DEVICE ID and ROM ID delays (500 ms each on LAN), the first restart pause (1500 ms),
// and the ROM ID and version delays of the verification (100 ms each).
constexpr double kPrescribedPausesMs = 500 + 500 + 1500 + 100 + 100;

// The file pushed through a plain socket until the printer has taken all of it.
double PlainSocketMs(bench::UpdateBench& b, const std::vector<char>& file) {
    auto printer = b.StartPrinter();
    if (!printer) return -1;
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(printer->DataPort());
    ::inet_pton(AF_INET, b.address.c_str(), &a.sin_addr);
    if (::connect(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    auto t0 = Clock::now();
    for (std::size_t off = 0; off < file.size();) {
        ssize_t n = ::send(s.Get(), file.data() + off, file.size() - off, MSG_NOSIGNAL);
        if (n <= 0) return -1;
        off += static_cast<std::size_t>(n);
    }
    if (!printer->WaitForEvent("transfer_end", 60000)) return -1;
    return MsSince(t0);
}

// The time the service steps of one run take here (no system bus and no CUPS server: the
// start waits for the spooler's answer): not part of the protocol.
double ServiceStartMs() {
    auto t0 = Clock::now();
    SpoolerControl(FALSE, "bench");
    PosServiceControl(FALSE);
    SpoolerControl(TRUE, nullptr);
    PosServiceControl(TRUE);
    return MsSince(t0);
}

void BM_FirmwareUpdate1MiBOverLan(benchmark::State& state) {
    if (!CIcmpEcho().Valid()) {
        state.SkipWithError("no ICMP echo socket here (ping_group_range, no CAP_NET_RAW)");
        return;
    }
    static bench::UpdateBench b;
    std::ifstream in(b.fwPath, std::ios::binary);
    std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CRecordingMessageBox box;
    SetMessageBox(&box);
    bench::NullHost host;
    double dwUpdate = 0, dwSocket = 0, dwServices = 0;
    for (auto _ : state) {
        const char* pszWhy = "";
        double ms = b.RunOneUpdate(host, &pszWhy);
        if (ms < 0) {
            state.SkipWithError(pszWhy);
            break;
        }
        state.SetIterationTime(ms / 1000.0);
        dwUpdate += ms;
        dwSocket += PlainSocketMs(b, file);
        dwServices += ServiceStartMs();
    }
    double n = static_cast<double>(state.iterations());
    double floor = kPrescribedPausesMs + dwSocket / n;
    state.counters["update_ms"] = dwUpdate / n;
    state.counters["socket_ms"] = dwSocket / n;
    state.counters["pauses_ms"] = kPrescribedPausesMs;
    state.counters["floor_ms"] = floor;
    state.counters["services_ms"] = dwServices / n;
    state.counters["ratio"] = dwUpdate / n / floor;
    state.counters["ratio_wo_services"] = (dwUpdate / n - dwServices / n) / floor;
    SetMessageBox(nullptr);
}
BENCHMARK(BM_FirmwareUpdate1MiBOverLan)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
