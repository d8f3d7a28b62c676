// kelvo-printer-sim: a simulated ZAQ printer on LAN, and the maker of update files for it.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/LastError.h"
#include "sim/Cli.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"
#include "sim/UsbTransport.h"

namespace {

int RunPrinter(const sim::Config& config) {
    // The loop thread inherits the blocked set, so only sigwait below sees these.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    const bool bUsb = config.szTransport == "usb";
    const bool bGadget = config.szTransport == "node";
    if (bUsb || bGadget) {
        sigaddset(&set, SIGUSR1);
        sigaddset(&set, SIGUSR2);
    }
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    sim::Printer printer(config);
    if (!printer.Start()) {
        std::fprintf(stderr, "kelvo-printer-sim: cannot start on %s (error %u)\n",
                     bUsb ? config.usb.szSysroot.c_str() : config.lan.szAddress.c_str(), GetLastError());
        return 1;
    }
    // On a serial line the address is the node the host opens; the ports are 0.
    const std::string address = config.szTransport == "serial"
                                    ? config.serial.szSysroot + "/dev/" + config.serial.szTtyName
                                    : bGadget ? config.gadget.szNode : config.lan.szAddress;
    std::string ready = bUsb ? sim::FormatReadyLine("usb", 0, 0, 0) + " lp=" + std::to_string(printer.UsbLp()) +
                                   " port=" + sim::UsbPortNameOf(printer.UsbLp())
                             : sim::FormatReadyLine(address, printer.DataPort(), printer.StatusPort(),
                                                    printer.DiscoveryPort());
    std::printf("%s\n", ready.c_str());
    std::fflush(stdout);
    int sig = 0;
    for (;;) {
        sigwait(&set, &sig);
        if (sig == SIGUSR1 || sig == SIGUSR2) {
            printer.SetUsbPlugged(sig == SIGUSR2);
            continue;
        }
        break;
    }
    printer.Stop();
    return 0;
}

int MakeUpdate(const sim::UpdateFileRequest& request) {
    sim::MadeFile made;
    if (!sim::MakeUpdateFile(request, &made)) {
        std::fprintf(stderr, "kelvo-printer-sim make-update: cannot write %s (error %u)\n",
                     sim::UpdateFileName(request).c_str(), GetLastError());
        return 1;
    }
    std::printf("%s bytes=%u checksum=0x%04X\n", made.szPath.c_str(), made.cbFile, made.wChecksum);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    bool bMake = !args.empty() && args[0] == "make-update";
    if (bMake) args.erase(args.begin());
    std::string error;
    if (bMake) {
        sim::UpdateFileRequest request;
        bool bHelp = false;
        if (!sim::ParseMakeUpdateArgs(args, &request, &bHelp, &error)) {
            std::fprintf(stderr, "kelvo-printer-sim make-update: %s\n", error.c_str());
            return 2;
        }
        if (bHelp) {
            std::fputs(sim::MakeUpdateHelp().c_str(), stdout);
            return 0;
        }
        return MakeUpdate(request);
    }
    sim::Config config;
    bool bHelp = false;
    if (!sim::ParseRunArgs(args, &config, &bHelp, &error)) {
        std::fprintf(stderr, "kelvo-printer-sim: %s (see --help)\n", error.c_str());
        return 2;
    }
    if (bHelp) {
        std::fputs(sim::RunHelp().c_str(), stdout);
        return 0;
    }
    return RunPrinter(config);
}
