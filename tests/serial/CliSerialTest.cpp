// kelvo-cli over a serial line: the simulated printer on a pty published as dev/<name> in
// the program's system root, found by --list and updated by name.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "RunProgram.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"
#include "support/SimSerial.h"
#include "support/TempDir.h"

namespace {

constexpr BYTE kTypeId = 0x22;

class CliSerial : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* psz : {"work", "config", "run", "root/var/log"}) std::filesystem::create_directories(m_dir / psz);
        m_dir.Write("work/config.ini", "34,\"KV-T34\",M|K,IF_COM,0\n");
        m_env = {{"XDG_CONFIG_HOME", m_dir / "config"}, {"XDG_RUNTIME_DIR", m_dir / "run"},
                 {"KELVO_SYSROOT", m_dir / "root"}, {"LC_ALL", "C"},
                 // The run stops and starts services: never those of the machine running the test.
                 {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (m_dir / "no-system-bus")},
                 {"CUPS_SERVER", m_dir / "no-cups.sock"}};
    }
    sim::MadeFile MakeFile(const std::string& kind, BYTE bRomId, DWORD cbSize) {
        sim::UpdateFileRequest request;
        request.szKind = kind;
        request.bTypeId = kTypeId;
        request.bRomId = bRomId;
        request.cbSize = cbSize;
        request.szDir = m_dir / "work";
        sim::MadeFile made;
        EXPECT_TRUE(sim::MakeUpdateFile(request, &made));
        return made;
    }
    void StartPrinter(const std::string& name, const std::string& kind, BYTE bRomId) {
        sim::Config config;
        config.state.bTypeId = kTypeId;
        config.state.bRomId = bRomId;
        m_printers.push_back(StartSerialPrinter(config, m_dir / "root", name, kind));
        ASSERT_TRUE(m_printers.back());
    }
    ProgramResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), KELVO_CLI_EXE);
        return RunProgram(args, m_env, m_dir / "work", -1, -1);
    }

    TempDir m_dir;
    std::map<std::string, std::string> m_env;
    std::vector<std::unique_ptr<sim::Printer>> m_printers;
};

TEST_F(CliSerial, ListShowsTheSerialPrintersOfEveryKind) {
    StartPrinter("ttyACM0", "acm", 0x05);
    StartPrinter("ttyUSB0", "usb-serial", 0x05);
    StartPrinter("ttyS0", "uart", 0x05);
    ProgramResult r = Cli({"--kind", "serial", "--list"});
    EXPECT_EQ(r.nStatus, 0) << r.err;
    EXPECT_EQ(r.out, "ttyACM0\t\nttyS0\t\nttyUSB0\t\n");
}

TEST_F(CliSerial, FirmwareAndFontOverTtyACM0) {
    MakeFile("FW", 0x07, 12000);
    sim::MadeFile kanji = MakeFile("KF", 0, 6000);
    StartPrinter("ttyACM0", "acm", 0x05);
    ProgramResult r = Cli({"--kind", "serial", "--port", "ttyACM0", "--json"});
    EXPECT_EQ(r.nStatus, 0) << r.err;
    EXPECT_NE(r.out.find("\"kind\":\"Serial\",\"port\":\"ttyACM0\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"sent\":[\"FW\",\"KF\"]"), std::string::npos) << r.out;
    EXPECT_EQ(m_printers[0]->State().bRomId, 0x07);
    EXPECT_EQ(m_printers[0]->State().wChecksum[sim::KIND_KANJI], kanji.wChecksum);
}

// Without --port the one printer found is updated.
TEST_F(CliSerial, TheOnePrinterFoundIsUpdated) {
    MakeFile("FW", 0x07, 5000);
    StartPrinter("ttyUSB3", "usb-serial", 0x05);
    ProgramResult r = Cli({"--kind", "serial"});
    EXPECT_EQ(r.nStatus, 0) << r.err;
    EXPECT_NE(r.err.find("Found ttyUSB3"), std::string::npos) << r.err;
    EXPECT_EQ(m_printers[0]->State().bRomId, 0x07);
}

}  // namespace
