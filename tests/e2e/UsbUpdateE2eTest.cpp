// Whole update runs over USB against the simulated printer's usblp node: the printer
// restarts after the firmware write, its node vanishes and comes back, here under the next
// free number, and the engine finds it by comparing with the maker's printers it saw.
#include "discovery/UtilUsb.h"
#include "e2e/UpdateFixture.h"
#include "support/SimUsb.h"
#include "ui/StringTable.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// After the restart the probe's ROM ID comes first, answered on the new port, then the
// verification's.
const std::vector<std::string> kFirmwareConversation{"CMD_DEVICE_ID", "CMD_ROM_ID", "transfer:FW:stored",
                                                     "CMD_ROM_ID",    "CMD_ROM_ID", "CMD_FW_VERSION"};

class UsbUpdateFixture : public UpdateFixture {
protected:
    void SetUp() override {
        UpdateFixture::SetUp();
        SetUsbDiscovery(&m_usb);
    }
    void TearDown() override {
        UpdateFixture::TearDown();
        SetUsbDiscovery(nullptr);
    }
    void StartUsb(const sim::PrinterState& state, unsigned nLp, bool bNewPort, const sim::Faults& faults = {}) {
        sim::Config config;
        config.state = state;
        config.faults = faults;
        m_pPrinter = StartUsbPrinter(config, m_root.Path(), nLp, bNewPort);
        ASSERT_TRUE(m_pPrinter) << GetLastError();
    }
    // The port list as the front end shows it before a run; it fills the names the engine
    // compares with after the restart.
    std::vector<std::string> ListPorts() {
        CPortLineList list;
        std::vector<std::string> entries(CUtilUsb::kMaxNames);
        m_usb.EnumPorts(&list, entries);
        return list.Lines();
    }
    void RunUsb(const std::string& portName) {
        RunInitialisation();
        theApp.nPortKind = static_cast<int>(PORT_KIND_USB);
        theApp.szPortName = portName;
        ASSERT_TRUE(StartUpdateThread(m_host, false));
        WaitForWorker(INFINITE);
    }
    std::string Succeeded(const std::string& version) const {
        return StrPrintf(LoadResString(IDS_FW_UPDATE_SUCCEEDED_VERSION).c_str(), version.c_str());
    }

    CUtilUsb m_usb;
};

TEST_F(UsbUpdateFixture, FirmwareOverUsbWithThePrinterBackUnderTheNextPortName) {
    sim::MadeFile fw = MakeFile("FW", kTypeId, 0x07, 20000);
    StartUsb(Printer(kTypeId, 0x05), 0, true);
    EXPECT_THAT(ListPorts(), ElementsAre("USB001\t (ZAQ KV-22 Sim)"));
    RunUsb("USB001");

    EXPECT_EQ(Result(), 0u);
    const std::string version = sim::DefaultVersionText(kTypeId, 0x07);
    EXPECT_THAT(BoxTexts(), ElementsAre(Succeeded(version)));
    EXPECT_THAT(Conversation(), ElementsAreArray(kFirmwareConversation));
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
    EXPECT_EQ(UsbPortOf(*m_pPrinter), "USB002");
    EXPECT_EQ(m_pPrinter->LastTransferImage().size(), fw.cbFile);
    EXPECT_EQ(m_usb.ppSeenNames[0], "USB002");
}

TEST_F(UsbUpdateFixture, WithTwoPrintersOnlyTheRestartedOneIsTaken) {
    MakeFile("FW", kTypeId, 0x07, 8000);
    sim::Config otherConfig;
    otherConfig.state = Printer(kTypeId, 0x05);
    auto other = StartUsbPrinter(otherConfig, m_root.Path(), 1);
    ASSERT_TRUE(other);
    StartUsb(Printer(kTypeId, 0x05), 0, true);  // lp1 is taken: it comes back as lp2
    EXPECT_EQ(ListPorts().size(), 2u);
    RunUsb("USB001");

    EXPECT_EQ(Result(), 0u);
    EXPECT_THAT(Conversation(), ElementsAreArray(kFirmwareConversation));
    EXPECT_EQ(UsbPortOf(*m_pPrinter), "USB003");
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
    // The other printer was never asked anything.
    EXPECT_EQ(other->State().bRomId, 0x05);
    for (const sim::SimEvent& e : other->Transcript()) EXPECT_NE(e.szName, "command") << e.Json();
}

// The failures of the LAN runs, over USB: the same boxes and codes.
TEST_F(UsbUpdateFixture, WrongRomIdAfterRestart) {
    MakeFile("FW", kTypeId, 0x07, 5000);
    sim::Faults faults;
    faults.nWrongRomId = 0x06;
    StartUsb(Printer(kTypeId, 0x05), 0, false, faults);
    ListPorts();
    RunUsb("USB001");

    EXPECT_EQ(Result(), ERROR_INVALID_DATA);
    EXPECT_EQ(ExitStatusFromResult(Result()), 1);
    EXPECT_THAT(BoxTexts(), ElementsAre(LoadResString(IDS_FW_UPDATE_FAILED) + ErrorLine(0x040703, 0x2000000D)));
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x06);
}

TEST_F(UsbUpdateFixture, ChecksumMismatchAfterSending) {
    SetModel(kTypeId, DK_KANJI_FONT, 0);
    sim::MadeFile kf = MakeFile("KF", kTypeId, 0, 6000);
    sim::PrinterState state = Printer(kTypeId, 0x05);
    state.wChecksum[sim::KIND_KANJI] = static_cast<WORD>(kf.wChecksum + 7);
    StartUsb(state, 0, false);
    RunInitialisation();
    theApp.tables.KF[kTypeId].wChecksum = static_cast<WORD>(kf.wChecksum + 1);
    theApp.nPortKind = static_cast<int>(PORT_KIND_USB);
    theApp.szPortName = "USB001";
    ASSERT_TRUE(StartUpdateThread(m_host, false));
    WaitForWorker(INFINITE);

    EXPECT_EQ(Result(), ERROR_INVALID_DATA);
    EXPECT_THAT(BoxTexts(), ElementsAre(LoadResString(IDS_FW_UPDATE_FAILED) + ErrorLine(0x040C02, 13)));
    EXPECT_THAT(Conversation(), ElementsAre("CMD_DEVICE_ID", "CMD_FONT_CHECKSUM", "transfer:KF:stored", "CMD_FONT_CHECKSUM"));
}

}  // namespace
