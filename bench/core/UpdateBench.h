#pragma once
// What the whole-update benchmarks share: a private system root with the log and a 1 MiB
// firmware file in it, a simulated LAN printer per run, and one update run timed from
// the press of Update to the end of the update thread.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "config/ConfigFile.h"
#include "engine/Kelvo.h"
#include "engine/Thread.h"
#include "log/Log.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"
#include "ui/DialogHost.h"

namespace bench {

inline constexpr BYTE kUpdateTypeId = 0x22;
inline constexpr DWORD kUpdatePayload = 1u << 20;

using Clock = std::chrono::steady_clock;
inline double MsSince(Clock::time_point t0) {
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

struct UpdateBench {
    std::string root;
    std::string fwPath;
    int nAddress = 0;
    std::string address;  // of the printer started last

    UpdateBench() {
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
        request.bTypeId = kUpdateTypeId;
        request.bRomId = 0x07;
        request.cbSize = kUpdatePayload;
        request.szDir = root + "/work";
        sim::MadeFile made;
        sim::MakeUpdateFile(request, &made);
        fwPath = made.szPath;
    }
    ~UpdateBench() {
        std::error_code ec;
        std::filesystem::remove_all(root, ec);
    }
    UpdateBench(const UpdateBench&) = delete;
    UpdateBench& operator=(const UpdateBench&) = delete;

    std::string LogFolder() const { return root + "/var/log/ZAQ/Logs"; }

    std::unique_ptr<sim::Printer> StartPrinter() {
        sim::Config config;
        config.state.bTypeId = kUpdateTypeId;
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

    // One firmware update of a new printer: its wall time in ms, or a negative value when
    // the printer did not start or the update failed (the reason in *pszWhy).
    double RunOneUpdate(IDialogHost& host, const char** pszWhy) {
        theApp.Reset();
        ResetModelTable(ModelTable);
        ModelTable[kUpdateTypeId] = ModelEntry{"BENCH", DK_FIRMWARE, IF_ALL, 0};
        auto printer = StartPrinter();
        if (!printer) {
            *pszWhy = "printer did not start";
            return -1;
        }
        StartInitializeThread(host);
        WaitForWorker(INFINITE);
        theApp.nPortKind = static_cast<int>(PORT_KIND_LAN);
        theApp.szPortName = address;
        auto t0 = Clock::now();
        StartUpdateThread(host, false);
        WaitForWorker(INFINITE);
        double ms = MsSince(t0);
        if (theApp.nExitCode != 0) {
            *pszWhy = "the update failed";
            return -1;
        }
        return ms;
    }
};

}  // namespace bench
