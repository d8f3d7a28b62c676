#pragma once
// A simulated printer for LAN tests: quick timings, kernel-chosen TCP ports on the test's
// own loopback address, no discovery. The driver reaches it through KELVO_LAN_PORTS.
#include <memory>
#include <string>

#include "sim/Sim.h"

// Starts the printer of config on address; nullptr when it cannot bind. bStrict: it is
// strict where printers may be, one image per data connection.
// wDataPort and wStatusPort 0: the kernel chooses; several printers on addresses of
// their own can share the numbers, as the driver takes them from KELVO_LAN_PORTS for all.
inline std::unique_ptr<sim::Printer> StartLanPrinter(sim::Config config, const std::string& address,
                                                     WORD wDataPort = 0, WORD wStatusPort = 0, bool bStrict = true) {
    config.faults.bImagePerConnection = bStrict;
    // Quick timings unless the test chose its own.
    if (config.szTimingName == "real") {
        config.timing = sim::Timing::Fast();
        config.szTimingName = "fast";
    }
    config.lan.szAddress = address;
    config.lan.wDataPort = wDataPort;
    config.lan.wStatusPort = wStatusPort;
    config.lan.bDiscovery = false;
    auto printer = std::make_unique<sim::Printer>(config);
    if (!printer->Start()) return nullptr;
    return printer;
}

// The value of KELVO_LAN_PORTS that points the LAN driver at the printer.
inline std::string LanPortsOf(const sim::Printer& printer) {
    return std::to_string(printer.DataPort()) + "," + std::to_string(printer.StatusPort());
}
