#pragma once
// A simulated Bluetooth printer for tests: quick timings, its serial-port stream on a Unix
// socket that the mock BlueZ hands to the driver's profile. Its LAN side binds only
// kernel-chosen loopback ports and answers no discovery.
#include <memory>
#include <string>

#include "sim/Sim.h"

// Starts the printer of config with its stream at socketPath; nullptr when it cannot bind.
// It is strict where printers may be: one image per link, so a link that ends inside a
// transfer leaves it incomplete (a font cut short is not stored).
inline std::unique_ptr<sim::Printer> StartBluetoothPrinter(sim::Config config, const std::string& socketPath) {
    config.faults.bImagePerConnection = true;
    if (config.szTimingName == "real") {
        config.timing = sim::Timing::Fast();
        config.szTimingName = "fast";
    }
    config.lan.szAddress = "127.0.0.1";
    config.lan.wDataPort = 0;
    config.lan.wStatusPort = 0;
    config.lan.bDiscovery = false;
    config.stream.szSocketPath = socketPath;
    auto printer = std::make_unique<sim::Printer>(config);
    if (!printer->Start()) return nullptr;
    return printer;
}
