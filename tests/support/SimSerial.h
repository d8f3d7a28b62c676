#pragma once
// A simulated printer on a serial line for tests: quick timings unless the test chose its
// own, a pty published as <root>/dev/<name> with the sysfs entry of its kind. The driver
// reaches it through KELVO_SYSROOT=root and the port name.
#include <memory>
#include <string>

#include "sim/Sim.h"

// Starts the printer of config on tty name of kind ("acm", "usb-serial", "uart") under
// root; nullptr when the pty cannot be made. dwBaud 0: unpaced.
inline std::unique_ptr<sim::Printer> StartSerialPrinter(sim::Config config, const std::string& root,
                                                        const std::string& name, const std::string& kind = "acm",
                                                        DWORD dwBaud = 0) {
    // Quick timings unless the test chose its own.
    if (config.szTimingName == "real") {
        config.timing = sim::Timing::Fast();
        config.szTimingName = "fast";
    }
    config.szTransport = "serial";
    config.serial.szSysroot = root;
    config.serial.szTtyName = name;
    config.serial.szKind = kind;
    config.serial.dwBaud = dwBaud;
    auto printer = std::make_unique<sim::Printer>(config);
    if (!printer->Start()) return nullptr;
    return printer;
}
