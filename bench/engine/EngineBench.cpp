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

#include "config/ConfigFile.h"
#include "engine/Kelvo.h"
#include "engine/Thread.h"
#include "log/Log.h"
#include "platform/UniqueFd.h"
#include "port/Globals.h"
#include "port/Icmp.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"
#include "system/Service.h"
#include "ui/RecordingMessageBox.h"
#include "ui/Util.h"

namespace {

constexpr BYTE kTypeId = 0x22;
constexpr DWORD kPayload = 1u << 20;
// DEVICE ID and ROM ID delays (500 ms each on LAN), the first restart pause (1500 ms),
// and the ROM ID and version delays of the verification (100 ms each).
constexpr double kPrescribedPausesMs = 500 + 500 + 1500 + 100 + 100;

using Clock = std::chrono::steady_clock;
double MsSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

class NullHost : public IDialogHost {
public:
    void SetCaption(const std::string&) override {}
    void SetControlText(int, const std::string&) override {}
    void SetBusyLayout(bool) override {}
    void EnableDialog(bool) override {}
    void RestoreAfterRun() override {}
    void PostSelect() override {}
    void PostClose() override {}
    void PostRetry() override {}
};

struct Bench {
    std::string root;
    std::string fwPath;
    int nAddress = 0;
    std::string address;  // of the printer started last

    Bench() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kelvo-bench-XXXXXX").string();
        root = ::mkdtemp(pattern.data());
        std::filesystem::create_directories(root + "/var/log");
        std::filesystem::create_directories(root + "/work");
        ::setenv("KELVO_SYSROOT", root.c_str(), 1);
        // The run stops and starts services: never those of this machine. Without a bus
        // and a CUPS server each run waits for the spooler's answer (services_ms).
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + root + "/no-bus").c_str(), 1);
        ::setenv("CUPS_SERVER", (root + "/no-cups.sock").c_str(), 1);
        if (::chdir((root + "/work").c_str()) != 0) return;
        LogSetup(LOG_PROGRAM_MASK, LOG_PROGRAM_NAME);
        sim::UpdateFileRequest request;
        request.bTypeId = kTypeId;
        request.bRomId = 0x07;
        request.cbSize = kPayload;
        request.szDir = root + "/work";
        sim::MadeFile made;
        sim::MakeUpdateFile(request, &made);
        fwPath = made.szPath;
    }
    ~Bench() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    std::unique_ptr<sim::Printer> StartPrinter() {
        sim::Config config;
        config.state.bTypeId = kTypeId;
        config.state.bRomId = 0x05;
        config.timing = sim::Timing::Fast();
        address = "127.90." + std::to_string(::getpid() % 250 + 1) + "." + std::to_string(++nAddress);
        config.lan.szAddress = address;
        config.lan.wDataPort = 0;
        config.lan.wStatusPort = 0;
        config.lan.bDiscovery = false;
        auto printer = std::make_unique<sim::Printer>(config);
        if (!printer->Start()) return nullptr;
        ::setenv("KELVO_LAN_PORTS",
                 (std::to_string(printer->DataPort()) + "," + std::to_string(printer->StatusPort())).c_str(), 1);
        return printer;
    }
};

// The file pushed through a plain socket until the printer has taken all of it.
double PlainSocketMs(Bench& b, const std::vector<char>& file) {
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
    static Bench b;
    std::ifstream in(b.fwPath, std::ios::binary);
    std::vector<char> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CRecordingMessageBox box;
    SetMessageBox(&box);
    NullHost host;
    double dwUpdate = 0, dwSocket = 0, dwServices = 0;
    for (auto _ : state) {
        theApp.Reset();
        ResetModelTable(ModelTable);
        ModelTable[kTypeId] = ModelEntry{"BENCH", DK_FIRMWARE, IF_ALL, 0};
        auto printer = b.StartPrinter();
        if (!printer) {
            state.SkipWithError("printer did not start");
            break;
        }
        StartInitializeThread(host);
        WaitForWorker(INFINITE);
        theApp.nPortKind = static_cast<int>(PORT_KIND_LAN);
        theApp.szPortName = b.address;
        auto t0 = Clock::now();
        StartUpdateThread(host, false);
        WaitForWorker(INFINITE);
        double ms = MsSince(t0);
        state.SetIterationTime(ms / 1000.0);
        if (theApp.nExitCode != 0) {
            state.SkipWithError("the update failed");
            break;
        }
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
