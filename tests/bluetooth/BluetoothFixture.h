#pragma once
// A simulated Bluetooth printer paired with a mock BlueZ on a private bus, and the log in a
// temporary root.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "MockBluez.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "port/Bluetooth.h"
#include "port/Globals.h"
#include "sim/Sim.h"
#include "support/SimBluetooth.h"
#include "support/TempDir.h"

inline constexpr const char* kPrinterAddress = "02:00:5A:00:00:01";
inline constexpr std::uint32_t kPrinterClass = 0x040680;

class BluetoothFixture : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(m_root / "var/log");
        ::setenv("KELVO_SYSROOT", m_root.Path().c_str(), 1);
        LogResetForTest();
        LogSetup(0xFFF, "Bth");
        m_pBluez = std::make_unique<MockBluez>();
        if (!m_pBluez->Ok()) GTEST_SKIP() << "no mock BlueZ: " << m_pBluez->Error();
        ASSERT_TRUE(m_pBluez->AddAdapter()) << m_pBluez->Error();
    }
    void TearDown() override {
        if (m_releaser.joinable()) m_releaser.join();
        if (m_hSdk != 0) pfnClosePort(m_hSdk, 0);
        m_pPrinter.reset();
        m_pBluez.reset();
        LogResetForTest();
        ::unsetenv("KELVO_SYSROOT");
    }

    std::string SocketPath() const { return m_root / "printer.sock"; }
    // The paired printer, its ConnectProfile served by the simulated printer.
    void StartPrinter(sim::Config config = {}) {
        m_pPrinter = StartBluetoothPrinter(config, SocketPath());
        ASSERT_TRUE(m_pPrinter);
        ASSERT_TRUE(m_pBluez->AddDevice(kPrinterAddress, "ZAQ Mobile", kPrinterClass, true)) << m_pBluez->Error();
        ASSERT_TRUE(m_pBluez->ServeProfile(kPrinterAddress, SocketPath())) << m_pBluez->Error();
    }
    void OpenPort(DWORD dwOption = OPT_TCP_CON_WITHOUT_OPEN) {
        ASSERT_TRUE(pfnOpenPort(dwOption, PORT_KIND_BLUETOOTH, kPrinterAddress, &m_hSdk)) << GetLastError();
    }
    std::string LogText() const {
        LogFlush();
        return TempDir::Read(m_root / "var/log/ZAQ/Logs/Bth.log");
    }
    int Count(const char* pszEvent) const {
        int n = 0;
        for (const sim::SimEvent& e : m_pPrinter->Transcript()) n += e.szName == pszEvent;
        return n;
    }

    TempDir m_root;
    std::unique_ptr<MockBluez> m_pBluez;
    std::unique_ptr<sim::Printer> m_pPrinter;
    HSDK m_hSdk = 0;
    std::thread m_releaser;  // a test's helper that acts on the mock while a connect runs
};
