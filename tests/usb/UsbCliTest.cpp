// kelvo-cli over USB: the simulated printer's usblp node under the program's system root.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/RunProgram.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"
#include "support/SimUsb.h"
#include "support/TempDir.h"

namespace {

constexpr BYTE kTypeId = 0x22;
constexpr const char* kModelRow = "34,\"KV-T34\",M|K,IF_USB,0\n";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class UsbCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* psz : {"work", "config", "run", "root/var/log"}) std::filesystem::create_directories(m_dir / psz);
        m_dir.Write("work/config.ini", kModelRow);
        m_env = {{"XDG_CONFIG_HOME", m_dir / "config"}, {"XDG_RUNTIME_DIR", m_dir / "run"},
                 {"KELVO_SYSROOT", m_dir / "root"}, {"LC_ALL", "C"}};
        sim::UpdateFileRequest request;
        request.szKind = "FW";
        request.bTypeId = kTypeId;
        request.bRomId = 0x07;
        request.cbSize = 12000;
        request.szDir = m_dir / "work";
        sim::MadeFile made;
        ASSERT_TRUE(sim::MakeUpdateFile(request, &made));
        m_szFirmware = made.szPath;
    }
    const std::string& FirmwarePath() const { return m_szFirmware; }
    std::unique_ptr<sim::Printer> Start(unsigned nLp, BYTE bRomId, bool bNewPort = false, sim::Faults faults = {}) {
        sim::Config config;
        config.state.bTypeId = kTypeId;
        config.state.bRomId = bRomId;
        config.faults = faults;
        auto printer = StartUsbPrinter(config, m_dir / "root", nLp, bNewPort);
        EXPECT_TRUE(printer);
        return printer;
    }
    ProgramResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), KELVO_CLI_EXE);
        return RunProgram(args, m_env, m_dir / "work");
    }

    TempDir m_dir;
    std::string m_szFirmware;
    std::map<std::string, std::string> m_env;
};

TEST_F(UsbCliTest, ListShowsTheMakersPrinters) {
    auto p1 = Start(1, 0x05);
    auto p0 = Start(0, 0x05);
    ProgramResult r = Cli({"--kind", "usb", "--list"});
    EXPECT_EQ(r.nStatus, 0) << r.err;
    EXPECT_EQ(r.out, "USB001\t (ZAQ KV-22 Sim)\nUSB002\t (ZAQ KV-22 Sim)\n");
}

TEST_F(UsbCliTest, NamedPortUpdatedAndFoundAgainUnderTheNextName) {
    auto other = Start(1, 0x05);  // a second printer of the maker stays as it is
    auto printer = Start(0, 0x05, true);
    ProgramResult r = Cli({"--kind", "usb", "--port", "USB001", "--json"});
    EXPECT_EQ(r.nStatus, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "\"result\":0,")) << r.out;
    EXPECT_TRUE(Contains(r.out, "\"kind\":\"USB\",\"port\":\"USB001\"")) << r.out;
    EXPECT_TRUE(Contains(r.out, "\"firmware_after\":\"VER2207\"")) << r.out;
    EXPECT_EQ(printer->State().bRomId, 0x07);
    EXPECT_EQ(UsbPortOf(*printer), "USB003");
    EXPECT_EQ(other->State().bRomId, 0x05);
}

TEST_F(UsbCliTest, WithoutAPortTheOnePrinterFoundIsUpdated) {
    auto printer = Start(4, 0x05);
    ProgramResult r = Cli({"--kind", "usb"});
    EXPECT_EQ(r.nStatus, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "Found USB005\t (ZAQ KV-22 Sim)")) << r.err;
    EXPECT_EQ(printer->State().bRomId, 0x07);
}

TEST_F(UsbCliTest, CurrentFirmwareEndsWithStatusTwoAsOnLan) {
    auto printer = Start(0, 0x07);
    ProgramResult r = Cli({"--kind", "usb", "--port", "USB001", "--json"});
    EXPECT_EQ(r.nStatus, 2) << r.err;
    EXPECT_TRUE(r.out.starts_with("{\"result\":1242,\"result_name\":\"ERROR_ALREADY_REGISTERED\",\"exit_status\":2,"))
        << r.out;
}

// Two printers restarting at once, each coming back under a number the other one had or
// a new one: each run takes its own printer again by where it sits on the bus, so every
// result, ROM ID and byte belongs to the printer it names.
TEST_F(UsbCliTest, FleetOfTwoRestartingPrintersEachRunKeepsItsOwnPrinter) {
    sim::Faults slow;
    slow.dwReadRate = 40000;  // a third of a second of transfer: the two restarts meet
    auto first = Start(0, 0x05, true, slow);
    sim::Faults faulty = slow;
    faulty.nWrongRomId = 0x08;  // its new firmware does not start
    auto second = Start(1, 0x05, true, faulty);
    ASSERT_TRUE(first && second);
    ProgramResult r = Cli({"--kind", "usb", "--parallel", "2", "--port", "USB001", "--port", "USB002", "--json"});
    EXPECT_EQ(r.nStatus, 1) << r.err;

    const std::size_t at1 = r.out.find("\"port\":\"USB001\"");
    const std::size_t at2 = r.out.find("\"port\":\"USB002\"");
    ASSERT_NE(at1, std::string::npos) << r.out;
    ASSERT_NE(at2, std::string::npos) << r.out;
    // Each result object begins with its result and ends with its port's fields.
    const std::size_t begin1 = r.out.rfind("{\"result\":", at1);
    const std::size_t begin2 = r.out.rfind("{\"result\":", at2);
    EXPECT_TRUE(r.out.compare(begin1, 12, "{\"result\":0,") == 0) << r.out;
    EXPECT_FALSE(r.out.compare(begin2, 12, "{\"result\":0,") == 0) << r.out;
    EXPECT_EQ(first->State().bRomId, 0x07);
    EXPECT_EQ(second->State().bRomId, 0x08);
    // One whole image each, and each printer asked only by its own run: one probe
    // before the transfer and the ROM ID questions after it, never a second transfer.
    const std::string sent = TempDir::Read(FirmwarePath());
    for (sim::Printer* p : {first.get(), second.get()}) {
        EXPECT_EQ(p->LastTransferImage().size(), sent.size());
        int nTransfers = 0;
        for (const sim::SimEvent& e : p->Transcript()) nTransfers += e.szName == "transfer_begin" ? 1 : 0;
        EXPECT_EQ(nTransfers, 1);
    }
}

}  // namespace
