#pragma once
// A simulated printer for USB tests: quick timings unless the test chose its own, its
// usblp node published under the test's system root (the driver and discovery find it
// through KELVO_SYSROOT).
#include <memory>
#include <string>

#include "sim/Sim.h"

// Starts the printer of config as lpN under sysroot; nullptr when it cannot publish.
// bNewPort: after a restart it comes back under the next free number.
inline std::unique_ptr<sim::Printer> StartUsbPrinter(sim::Config config, const std::string& sysroot, unsigned nLp,
                                                     bool bNewPort = false) {
    config.szTransport = "usb";
    // Quick timings unless the test chose its own.
    if (config.szTimingName == "real") {
        config.timing = sim::Timing::Fast();
        config.szTimingName = "fast";
    }
    config.usb.szSysroot = sysroot;
    config.usb.nLp = nLp;
    config.usb.bNewPort = bNewPort;
    auto printer = std::make_unique<sim::Printer>(config);
    if (!printer->Start()) return nullptr;
    return printer;
}

// The port name under which the printer is published now.
inline std::string UsbPortOf(const sim::Printer& printer) {
    char sz[16];
    std::snprintf(sz, sizeof sz, "USB%03u", printer.UsbLp() + 1);
    return sz;
}
