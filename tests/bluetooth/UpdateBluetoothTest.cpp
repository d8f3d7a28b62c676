// Whole update runs over Bluetooth: the engine, the port service with the Bluetooth driver,
// BlueZ on a private bus and the simulated printer behind the profile's stream.
#include "MockBluez.h"
#include "e2e/UpdateFixture.h"
#include "support/SimBluetooth.h"
#include "ui/StringTable.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr const char* kAddress = "02:00:5A:00:00:01";

std::string S(DWORD dwId) { return LoadResString(dwId); }

class BluetoothUpdate : public UpdateFixture {
protected:
    void SetUp() override {
        UpdateFixture::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        // The bus also stands in for the system's during the run: no services on it.
        m_pBluez = std::make_unique<MockBluez>();
        if (!m_pBluez->Ok()) GTEST_SKIP() << "no mock BlueZ: " << m_pBluez->Error();
        ASSERT_TRUE(m_pBluez->AddAdapter()) << m_pBluez->Error();
    }
    void TearDown() override {
        WaitForWorker(INFINITE);
        m_pBluez.reset();  // gives the address back before the fixture drops it
        UpdateFixture::TearDown();
    }
    void StartBluetoothPrinterWith(const sim::PrinterState& state, const sim::Faults& faults = {}) {
        sim::Config config;
        config.state = state;
        config.faults = faults;
        m_pPrinter = StartBluetoothPrinter(config, m_root / "printer.sock");
        ASSERT_TRUE(m_pPrinter);
        ASSERT_TRUE(m_pBluez->AddDevice(kAddress, "ZAQ Mobile", 0x040680, true)) << m_pBluez->Error();
        ASSERT_TRUE(m_pBluez->ServeProfile(kAddress, m_root / "printer.sock")) << m_pBluez->Error();
    }
    void RunBluetooth() {
        RunInitialisation();
        RunOnce(false);
        if (m_host.m_bRetryPosted) RunOnce(true);
    }
    void RunOnce(bool bRetry) {
        theApp.nPortKind = static_cast<int>(PORT_KIND_BLUETOOTH);
        theApp.szPortName = kAddress;
        ASSERT_TRUE(StartUpdateThread(m_host, bRetry));
        WaitForWorker(INFINITE);
    }

    std::unique_ptr<MockBluez> m_pBluez;
};

TEST_F(BluetoothUpdate, FirmwareSentAndVerifiedWithTheReconnectAfterTheRestart) {
    sim::MadeFile fw = MakeFile("FW", kTypeId, 0x07, 20000);
    StartBluetoothPrinterWith(Printer(kTypeId, 0x05));
    RunBluetooth();

    EXPECT_EQ(Result(), 0u);
    std::string version = sim::DefaultVersionText(kTypeId, 0x07);
    EXPECT_EQ(FwVersionText(), version);
    EXPECT_THAT(BoxTexts(), ElementsAre(StrPrintf(S(IDS_FW_UPDATE_SUCCEEDED_VERSION).c_str(), version.c_str())));
    EXPECT_THAT(Conversation(), ElementsAre("CMD_DEVICE_ID", "CMD_ROM_ID", "transfer:FW:stored", "CMD_ROM_ID",
                                            "CMD_FW_VERSION"));
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
    EXPECT_EQ(m_pPrinter->LastTransferImage().size(), fw.cbFile);
    // The restart wait closed the link and the verification came on a new one.
    ASSERT_GE(Events("connect").size(), 2u);
    sim::SimEvent stored;
    for (const sim::SimEvent& e : Events("transfer_end")) stored = e;
    EXPECT_GT(Events("connect").back().nSeq, stored.nSeq);
    EXPECT_EQ(m_pBluez->ConnectProfileCalls(kAddress), static_cast<int>(Events("connect").size()));
    // The close with option 0x2000 is the abortive one: no half-close, the link held until
    // the printer dropped it for its restart.
    std::vector<sim::SimEvent> gone = Events("disconnect");
    auto afterStore = std::find_if(gone.begin(), gone.end(), [&](const sim::SimEvent& e) { return e.nSeq > stored.nSeq; });
    ASSERT_NE(afterStore, gone.end());
    EXPECT_EQ(afterStore->Str("by"), "printer");
}

struct FaultCase {
    const char* pszWhat;
    sim::Faults faults;
    BYTE bPrinterType;
    DWORD dwResult;
    bool bTransferBox;  // the firmware box, else the connect box
    DWORD dwLocation, dwError;
    std::vector<std::string> conversation;
};

std::vector<FaultCase> FaultCases() {
    sim::Faults wrongRom;
    wrongRom.nWrongRomId = 0x06;
    sim::Faults drop;
    drop.cbDropAfter = 8192;
    return {
        {"WrongRomIdAfterRestart", wrongRom, 0x22, ERROR_INVALID_DATA, true, 0x040703, 0x2000000D,
         {"CMD_DEVICE_ID", "CMD_ROM_ID", "transfer:FW:stored", "CMD_ROM_ID"}},
        {"UnknownTypeId", {}, 0x30, ERROR_BAD_DEVICE, false, 0x040301, 0x200004B0, {"CMD_DEVICE_ID"}},
        {"DropDuringTransfer", drop, 0x22, ERROR_WRITE_FAULT, true, 0x040501, ERROR_WRITE_FAULT,
         {"CMD_DEVICE_ID", "CMD_ROM_ID", "drop", "transfer:FW:dropped"}},
    };
}

class BluetoothUpdateFault : public BluetoothUpdate, public ::testing::WithParamInterface<FaultCase> {};

// The LAN fault cases, on Bluetooth.
TEST_P(BluetoothUpdateFault, EndsTheRunWithItsResultAndBox) {
    const FaultCase& c = GetParam();
    MakeFile("FW", kTypeId, 0x07, 512 * 1024);
    m_box.QueueAnswer(IDCANCEL);
    StartBluetoothPrinterWith(Printer(c.bPrinterType, 0x05), c.faults);
    RunBluetooth();
    EXPECT_EQ(Result(), c.dwResult);
    std::string box = S(c.bTransferBox ? IDS_FW_UPDATE_FAILED : IDS_CONNECT_FAILED) +
                      StrPrintf("\n\nErrorCode = [ %06X, %08X ]", c.dwLocation, c.dwError);
    EXPECT_THAT(BoxTexts(), ElementsAre(box));
    EXPECT_THAT(Conversation(), ElementsAreArray(c.conversation));
    EXPECT_TRUE(m_host.Has("restore"));
    EXPECT_FALSE(m_host.Has("post:retry"));
}

INSTANTIATE_TEST_SUITE_P(Faults, BluetoothUpdateFault, ::testing::ValuesIn(FaultCases()),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.pszWhat; });

}  // namespace
