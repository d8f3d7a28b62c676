#pragma once
// A simulated LAN printer on its own loopback address, and the log in a temporary root.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include "log/Log.h"
#include "platform/LastError.h"
#include "port/Globals.h"
#include "port/Icmp.h"
#include "port/Lan2.h"
#include "sim/Sim.h"
#include "support/SimLan.h"
#include "support/TempDir.h"

// A loopback address no other test process uses at the same time.
inline std::string UniqueLoopbackAddress() {
    static std::atomic<int> n{0};
    int k = ++n;
    return "127.88." + std::to_string(::getpid() % 250 + 1) + "." + std::to_string(k % 250 + 1);
}

class LanFixture : public ::testing::Test {
protected:
    void SetUp() override {
        if (!CIcmpEcho().Valid()) GTEST_SKIP() << "no ICMP echo socket here (ping_group_range, no CAP_NET_RAW)";
        std::filesystem::create_directories(m_root / "var/log");
        ::setenv("KELVO_SYSROOT", m_root.Path().c_str(), 1);
        LogResetForTest();
        LogSetup(0xFFF, "Lan");
    }
    void TearDown() override {
        if (m_hSdk != 0) pfnClosePort(m_hSdk, 0);
        m_pPrinter.reset();
        ::unsetenv("KELVO_LAN_PORTS");
        LogResetForTest();
        ::unsetenv("KELVO_SYSROOT");
    }

    // Starts the printer on a fresh address and points the driver's ports at it.
    void StartPrinter(sim::Faults faults = {}) {
        sim::Config config;
        config.faults = faults;
        m_pPrinter = StartLanPrinter(config, m_szAddress);
        ASSERT_TRUE(m_pPrinter);
        ::setenv("KELVO_LAN_PORTS", LanPortsOf(*m_pPrinter).c_str(), 1);
    }
    void OpenPort() { ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_LAN, m_szAddress.c_str(), &m_hSdk)) << GetLastError(); }
    std::string LogText() const {
        LogFlush();
        return ReadWholeFile(m_root / "var/log/ZAQ/Logs/Lan.log");
    }

    TempDir m_root;
    std::string m_szAddress = UniqueLoopbackAddress();
    std::unique_ptr<sim::Printer> m_pPrinter;
    HSDK m_hSdk = 0;
};
