// The USB driver and discovery against the simulated printer's USB transport.
#include <signal.h>

#include <filesystem>
#include <string>
#include <vector>

#include "UsbFixture.h"
#include "discovery/UtilUsb.h"
#include "platform/LastError.h"
#include "platform/WinError.h"
#include "sim/Cli.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"
#include "support/SimExchange.h"
#include "support/SimUsb.h"

namespace {

class UsbSimTest : public UsbFixture {
protected:
    std::unique_ptr<sim::Printer> Start(unsigned nLp, bool bNewPort = false, sim::Config config = {}) {
        auto printer = StartUsbPrinter(config, m_root.Path(), nLp, bNewPort);
        EXPECT_TRUE(printer) << GetLastError();
        return printer;
    }
    bool AskDeviceId(HSDK h) {
        std::vector<BYTE> cmd = DeviceIdCommand();
        DWORD cb = 0;
        return pfnWritePortEx(h, cmd.data(), static_cast<DWORD>(cmd.size()), &cb, 2000) && cb == cmd.size() &&
               ReadAnswer(h) == kDeviceIdAnswer;
    }
};

TEST_F(UsbSimTest, DiscoveryListsTheSimulatedPrintersInOrderAndAnotherMakersBare) {
    sim::Config second;
    second.state.bTypeId = 0x20;
    auto p2 = Start(1, false, second);
    auto p1 = Start(0);
    sim::Config other;
    other.usb.szDeviceId = "MFG:OTHER;CMD:X;MDL:Y;";
    auto p3 = Start(2, false, other);
    ASSERT_TRUE(p1 && p2 && p3);
    CUtilUsb usb;
    CPortLineList list;
    std::vector<std::string> entries(8);
    EXPECT_EQ(usb.EnumPorts(&list, entries), 3);
    const std::vector<std::string> expected = {"USB001\t (ZAQ KV-1F Sim)", "USB002\t (ZAQ KV-20 Sim)", "USB003"};
    EXPECT_EQ(list.Lines(), expected);
    EXPECT_EQ(usb.ppSeenNames[0], "USB001");
    EXPECT_EQ(usb.ppSeenNames[1], "USB002");
    EXPECT_EQ(usb.ppSeenNames[2], "");
}

TEST_F(UsbSimTest, A5000ByteWriteReachesThePrinterWholeAndItAnswers) {
    auto printer = Start(0);
    ASSERT_TRUE(printer);
    ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_USB, "USB001", &m_hSdk)) << GetLastError();
    std::vector<BYTE> data(5000 - 35, 'x');
    const std::vector<BYTE> cmd = DeviceIdCommand();
    data.insert(data.end(), cmd.begin(), cmd.end());
    DWORD cbWritten = 0;
    ASSERT_TRUE(pfnWritePortEx(m_hSdk, data.data(), static_cast<DWORD>(data.size()), &cbWritten, 5000));
    EXPECT_EQ(cbWritten, 5000u);
    EXPECT_EQ(ReadAnswer(m_hSdk), kDeviceIdAnswer);
    sim::SimEvent ignored;
    ASSERT_TRUE(printer->WaitForEvent("ignored", 2000, &ignored));
    EXPECT_EQ(ignored.Int("bytes"), 4965 + 32);  // the filler and the command's NUL lead-in
    const std::string log = LogText();
    EXPECT_NE(log.find("Transmitted (USB001) [64byte]"), std::string::npos);
    EXPECT_NE(log.find("[USB001] ThreadSendUsb send() [4096byte]"), std::string::npos);
    EXPECT_NE(log.find("[USB001] ThreadSendUsb send() [840byte]"), std::string::npos);
}

TEST_F(UsbSimTest, UnplugAndReplugAreOneOfflineAndOneOnlineTransition) {
    auto printer = Start(0);
    ASSERT_TRUE(printer);
    ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_USB, "USB001", &m_hSdk)) << GetLastError();
    ASSERT_TRUE(AskDeviceId(m_hSdk));

    printer->SetUsbPlugged(false);
    ASSERT_TRUE(printer->WaitForEvent("link", 2000, nullptr, 0,
                                      [](const sim::SimEvent& e) { return e.Str("state") == "down"; }));
    const BYTE text[] = "away";
    DWORD cb = 0;
    EXPECT_FALSE(pfnWritePortEx(m_hSdk, text, sizeof text, &cb, 300));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(pfnWritePortEx(m_hSdk, text, sizeof text, &cb, 300));

    printer->SetUsbPlugged(true);
    ASSERT_TRUE(printer->WaitForEvent("link", 2000, nullptr, 0,
                                      [](const sim::SimEvent& e) { return e.Str("reason") == "replug"; }));
    EXPECT_TRUE(AskDeviceId(m_hSdk));
    const std::string log = LogText();
    EXPECT_EQ(Occurrences(log, "[USB001] [OFFLINE]"), 1u);
    EXPECT_EQ(Occurrences(log, "[USB001] [ONLINE]"), 2u);  // the first open, the return
}

// A drop is the printer leaving the bus: the host's next write finds no device, and the
// node comes back under its number only after the re-enumeration time.
TEST_F(UsbSimTest, ADroppedPrinterIsOffTheBusForItsReplugTime) {
    sim::Config config;
    config.faults.cbDropAfter = 5000;
    config.usb.dwReplugMs = 1500;
    auto printer = Start(0, false, config);
    ASSERT_TRUE(printer);
    ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_USB, "USB001", &m_hSdk)) << GetLastError();
    std::vector<BYTE> image = sim::BuildFirmwareImage(0x1F, 0x07, "NEW 1.7", sim::FillerBytes(8000, 3));
    DWORD cb = 0;
    pfnWritePortEx(m_hSdk, image.data(), static_cast<DWORD>(image.size()), &cb, 2000);
    sim::SimEvent down, up;
    ASSERT_TRUE(printer->WaitForEvent("link", 3000, &down, 0,
                                      [](const sim::SimEvent& e) { return e.Str("state") == "down"; }));
    EXPECT_EQ(down.Str("reason"), "printer");
    const BYTE text[] = "away";
    EXPECT_FALSE(pfnWritePortEx(m_hSdk, text, sizeof text, &cb, 300));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    ASSERT_TRUE(printer->WaitForEvent("link", 5000, &up, down.nSeq,
                                      [](const sim::SimEvent& e) { return e.Str("state") == "up"; }));
    EXPECT_EQ(up.Str("reason"), "reset");
    EXPECT_EQ(up.Int("lp"), 0);
    EXPECT_GE(up.dwMs - down.dwMs, 1500u);
    EXPECT_TRUE(AskDeviceId(m_hSdk));
}

TEST_F(UsbSimTest, AfterARestartThePrinterComesBackUnderTheNextFreeNumber) {
    auto other = Start(1);  // lp1 is taken: the next free number after lp0 is lp2
    auto printer = Start(0, true);
    ASSERT_TRUE(printer && other);
    printer->PowerCycle();
    sim::SimEvent up;
    ASSERT_TRUE(printer->WaitForEvent("link", 3000, &up, 0,
                                      [](const sim::SimEvent& e) { return e.Str("state") == "up" && e.Int("lp") != 0; }));
    EXPECT_EQ(up.Int("lp"), 2);
    EXPECT_EQ(up.Str("port"), "USB003");
    EXPECT_EQ(UsbPortOf(*printer), "USB003");
    EXPECT_FALSE(std::filesystem::exists(m_root / "dev/usb/lp0"));
    ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_USB, "USB003", &m_hSdk)) << GetLastError();
    EXPECT_TRUE(AskDeviceId(m_hSdk));
}

}  // namespace

namespace {

bool WaitForPath(const std::string& path, bool bPresent) {
    for (int i = 0; i < 200; ++i) {
        if (std::filesystem::exists(path) == bPresent) return true;
        Sleep(10);
    }
    return false;
}

TEST_F(UsbSimTest, TheProgramPublishesItsNodeAndSignalsUnplugAndReplugIt) {
    sim::PrinterProcess child;
    ASSERT_TRUE(child.Start(KELVO_SIM_EXE, {"--transport=usb", "--sysroot=" + m_root.Path(), "--lp=3", "--timing=fast"}));
    const std::string node = m_root / "dev/usb/lp3";
    ASSERT_TRUE(std::filesystem::exists(node));
    CUtilUsb usb;
    CPortLineList list;
    std::vector<std::string> entries(4);
    EXPECT_EQ(usb.EnumPorts(&list, entries), 1);
    EXPECT_EQ(list.Lines(), std::vector<std::string>{"USB004\t (ZAQ KV-1F Sim)"});

    ::kill(child.Pid(), SIGUSR1);
    EXPECT_TRUE(WaitForPath(node, false));
    EXPECT_FALSE(std::filesystem::exists(m_root / "sys/class/usbmisc/lp3"));
    ::kill(child.Pid(), SIGUSR2);
    EXPECT_TRUE(WaitForPath(node, true));
    EXPECT_EQ(child.Stop(), 0);
    EXPECT_FALSE(std::filesystem::exists(node));
}

TEST(UsbSimCli, UsbFlagsParseAndBadOnesAreRefused) {
    sim::Config c;
    bool bHelp = false;
    std::string err;
    ASSERT_TRUE(sim::ParseRunArgs({"--transport=usb", "--sysroot=/tmp/r", "--lp=5", "--usb-new-port",
                                   "--usb-device-id=MFG:ZAQ;MDL:X;"},
                                  &c, &bHelp, &err))
        << err;
    EXPECT_EQ(c.szTransport, "usb");
    EXPECT_EQ(c.usb.szSysroot, "/tmp/r");
    EXPECT_EQ(c.usb.nLp, 5u);
    EXPECT_TRUE(c.usb.bNewPort);
    EXPECT_EQ(c.usb.szDeviceId, "MFG:ZAQ;MDL:X;");
    const std::string help = sim::RunHelp();
    for (const char* flag : {"--transport", "--sysroot", "--lp", "--usb-new-port", "--usb-device-id"}) {
        EXPECT_NE(help.find(flag), std::string::npos) << flag;
    }
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--transport=usb"}, {"--transport=bt", "--sysroot=/tmp"}, {"--lp=127"}, {"--lp=-1"}}) {
        EXPECT_FALSE(sim::ParseRunArgs(bad, &c, &bHelp, &err)) << bad[0];
    }
}

}  // namespace
