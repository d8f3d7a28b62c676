// kelvo-cli over Bluetooth: the list of paired printers and a whole update, with BlueZ on a
// private bus and the simulated printer behind the profile's stream.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "MockBluez.h"
#include "cli/RunProgram.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"
#include "support/SimBluetooth.h"
#include "support/TempDir.h"

namespace {

const std::string kCli = KELVO_CLI_EXE;
constexpr BYTE kTypeId = 0x22;
constexpr const char* kAddress = "02:00:5A:00:00:01";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class CliBluetoothTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!m_bluez.Ok()) GTEST_SKIP() << "no mock BlueZ: " << m_bluez.Error();
        for (const char* psz : {"work", "config", "run", "root/var/log"}) std::filesystem::create_directories(m_dir / psz);
        m_dir.Write("work/config.ini", "34,\"KV-B34\",M,IF_BT,0\n");
        m_env = {{"XDG_CONFIG_HOME", m_dir / "config"}, {"XDG_RUNTIME_DIR", m_dir / "run"},
                 {"KELVO_SYSROOT", m_dir / "root"}, {"LC_ALL", "C"}};
        ASSERT_TRUE(m_bluez.AddAdapter()) << m_bluez.Error();
    }
    void StartPrinter(BYTE bRomId) {
        sim::Config config;
        config.state.bTypeId = kTypeId;
        config.state.bRomId = bRomId;
        m_printer = StartBluetoothPrinter(config, m_dir / "printer.sock");
        ASSERT_TRUE(m_printer);
        ASSERT_TRUE(m_bluez.AddDevice(kAddress, "ZAQ Mobile", 0x040680, true)) << m_bluez.Error();
        ASSERT_TRUE(m_bluez.ServeProfile(kAddress, m_dir / "printer.sock")) << m_bluez.Error();
    }
    // A firmware file (ROM ID 07) of cbSize payload bytes in the work folder.
    void MakeFirmware(DWORD cbSize, sim::MadeFile* pMade) {
        sim::UpdateFileRequest request;
        request.szKind = "FW";
        request.bTypeId = kTypeId;
        request.bRomId = 0x07;
        request.cbSize = cbSize;
        request.szDir = m_dir / "work";
        ASSERT_TRUE(sim::MakeUpdateFile(request, pMade));
    }
    ProgramResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), kCli);
        return RunProgram(args, m_env, m_dir / "work", -1, -1);
    }

    MockBluez m_bluez;  // its bus is the system bus of every program the test runs
    TempDir m_dir;
    std::map<std::string, std::string> m_env;
    std::unique_ptr<sim::Printer> m_printer;
};

TEST_F(CliBluetoothTest, ListsThePairedPrinterAndUpdatesIt) {
    sim::MadeFile made;
    ASSERT_NO_FATAL_FAILURE(MakeFirmware(30000, &made));
    StartPrinter(0x05);
    ASSERT_TRUE(m_bluez.AddDevice("02:00:5A:00:00:09", "Headset", 0x240404, true));

    ProgramResult list = Cli({"--kind", "bluetooth", "--list"});
    EXPECT_EQ(list.nStatus, 0) << list.err;
    EXPECT_EQ(list.out, std::string(kAddress) + "\t [\"ZAQ Mobile\"]\n");

    ProgramResult r = Cli({"--kind", "bluetooth", "--port", kAddress, "--json"});
    EXPECT_EQ(r.nStatus, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "\"kind\":\"Bluetooth\",\"port\":\"" + std::string(kAddress) + "\"")) << r.out;
    EXPECT_TRUE(Contains(r.out, "\"firmware_after\":\"VER2207\",\"rom_id_before\":\"05\",\"rom_id_after\":\"07\",\"sent\":[\"FW\"]"))
        << r.out;
    EXPECT_EQ(m_printer->State().bRomId, 0x07);
    EXPECT_EQ(m_printer->LastTransferImage().size(), made.cbFile);
}

TEST_F(CliBluetoothTest, WithThePrinterSwitchedOffTheRunCannotConnect) {
    ASSERT_TRUE(m_bluez.AddDevice(kAddress, "ZAQ Mobile", 0x040680, true)) << m_bluez.Error();
    ASSERT_TRUE(m_bluez.ServeProfile(kAddress, m_dir / "nobody.sock")) << m_bluez.Error();
    sim::MadeFile made;
    ASSERT_NO_FATAL_FAILURE(MakeFirmware(3000, &made));
    ProgramResult r = Cli({"--kind", "bluetooth", "--port", kAddress, "--json"});
    EXPECT_EQ(r.nStatus, 1) << r.err;
    EXPECT_GE(m_bluez.ConnectProfileCalls(kAddress), 1);
}

// Two Bluetooth printers updated at once: each run holds the serial port profile's
// registration only for its connect, so neither keeps the other (nor its own reconnect
// after the restart) out.
TEST_F(CliBluetoothTest, AFleetOfTwoPrintersIsUpdatedInParallel) {
    sim::MadeFile made;
    ASSERT_NO_FATAL_FAILURE(MakeFirmware(30000, &made));
    const std::string addresses[] = {kAddress, "02:00:5A:00:00:02"};
    std::unique_ptr<sim::Printer> printers[2];
    for (int i = 0; i < 2; ++i) {
        sim::Config config;
        config.state.bTypeId = kTypeId;
        config.state.bRomId = 0x05;
        const std::string socketPath = m_dir / ("printer" + std::to_string(i) + ".sock");
        printers[i] = StartBluetoothPrinter(config, socketPath);
        ASSERT_TRUE(printers[i]);
        ASSERT_TRUE(m_bluez.AddDevice(addresses[i], "ZAQ Mobile", 0x040680, true)) << m_bluez.Error();
        ASSERT_TRUE(m_bluez.ServeProfile(addresses[i], socketPath)) << m_bluez.Error();
    }
    ProgramResult r = Cli({"--kind", "bluetooth", "--parallel", "2", "--json", "--port", addresses[0], "--port",
                           addresses[1]});
    EXPECT_EQ(r.nStatus, 0) << r.err << r.out;
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(addresses[i]);
        EXPECT_EQ(printers[i]->State().bRomId, 0x07);
        EXPECT_EQ(printers[i]->LastTransferImage().size(), made.cbFile);
        EXPECT_TRUE(Contains(r.out, "\"port\":\"" + addresses[i] + "\"")) << r.out;
    }
    EXPECT_EQ(m_bluez.Profiles(), 0);
}

}  // namespace
