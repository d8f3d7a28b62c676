// Whole update runs over a serial line: the simulated printer on a pty published as
// dev/ttyACM0 in the test's system root, the serial driver, and the run's serial defaults
// (the user's choice applied at the first run, the fixed setting at a retry, the choice
// restored afterwards).
#include <fcntl.h>

#include "e2e/UpdateFixture.h"
#include "platform/UniqueFd.h"
#include "port/Com.h"
#include "port/ComConf.h"
#include "support/SimSerial.h"
#include "ui/StringTable.h"

namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* kTty = "ttyACM0";

class SerialUpdate : public UpdateFixture {
protected:
    void SetUp() override {
        UpdateFixture::SetUp();
        if (IsSkipped()) return;
        RegisterPortKind(PORT_KIND_COM, MakeComPort);
        ResetDefaultCommConfigsForTest();
        auto record = std::make_shared<ComConfigRecord>(NewComConfigRecord(kTty));
        record->ccChosen.dcb.BaudRate = 57600;  // the user's choice, told apart from the fixed one
        theApp.pComConfig = record;
    }
    void TearDown() override {
        UpdateFixture::TearDown();
        ResetDefaultCommConfigsForTest();
    }
    void StartSerial(const sim::PrinterState& state, const sim::Faults& faults = {}, bool bAcmKeepsHeldNumber = false) {
        sim::Config config;
        config.state = state;
        config.faults = faults;
        config.serial.bAcmKeepsHeldNumber = bAcmKeepsHeldNumber;
        m_pPrinter = StartSerialPrinter(config, m_root.Path(), kTty);
        ASSERT_TRUE(m_pPrinter);
    }
    void RunSerialOnce(bool bRetry) {
        theApp.nPortKind = static_cast<int>(PORT_KIND_COM);
        theApp.szPortName = kTty;
        ASSERT_TRUE(StartUpdateThread(m_host, bRetry));
        WaitForWorker(INFINITE);
    }
    void RunSerialAll() {
        RunInitialisation();
        RunSerialOnce(false);
        if (m_host.m_bRetryPosted) RunSerialOnce(true);
    }
    // Where text first occurs in the log, or npos.
    std::size_t At(const std::string& text) const { return LogText().find(text); }
    int Count(const std::string& text) const {
        const std::string log = LogText();
        int n = 0;
        for (std::size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++n;
        return n;
    }
};

TEST_F(SerialUpdate, FirmwareAndFontWithReopenAfterRestart) {
    SetModel(kTypeId, DK_FIRMWARE | DK_KANJI_FONT | DK_CODE_PAGE, 0);
    MakeFile("FW", kTypeId, 0x07, 6000);
    sim::MadeFile kf = MakeFile("KF", kTypeId, 0, 5000, 2);
    sim::MadeFile cf = MakeFile("CF", kTypeId, 0, 3000, 3);
    sim::PrinterState state = Printer(kTypeId, 0x05);
    state.wChecksum[sim::KIND_KANJI] = kf.wChecksum;
    state.wChecksum[sim::KIND_CODEPAGE] = static_cast<WORD>(cf.wChecksum ^ 0x5555);
    StartSerial(state);
    RunSerialAll();

    EXPECT_EQ(Result(), 0u);
    EXPECT_THAT(Conversation(), ElementsAre("CMD_DEVICE_ID", "CMD_ROM_ID", "transfer:FW:stored", "CMD_ROM_ID",
                                            "CMD_FW_VERSION", "CMD_FONT_CHECKSUM", "CMD_FONT_CHECKSUM",
                                            "transfer:CF:stored", "CMD_FONT_CHECKSUM"));
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
    EXPECT_EQ(m_pPrinter->State().wChecksum[sim::KIND_CODEPAGE], cf.wChecksum);
    // The printer's node went away for the restart and came back; the driver opened again.
    std::vector<std::string> line;
    for (const auto& e : Events("serial_line")) line.push_back(e.Str("state"));
    EXPECT_THAT(line, ElementsAre("up", "down", "up"));
    EXPECT_EQ(At("Set ComConfig default."), std::string::npos);
    COMMCONFIG cc;
    ASSERT_TRUE(GetDefaultCommConfig(kTty, &cc));
    EXPECT_EQ(cc.dcb.BaudRate, 57600u);
}

// cdc-acm frees a tty's number only at its last close. The run closes the port before
// the printer restarts, so the printer comes back under its own name; held by another
// program meanwhile, it comes back under the next one, where the run finds it by where it
// sits on the bus.
TEST_F(SerialUpdate, TtyAcmPrinterRestartsUnderItsOwnName) {
    MakeFile("FW", kTypeId, 0x07, 6000);
    StartSerial(Printer(kTypeId, 0x05), {}, true);
    RunSerialAll();
    EXPECT_EQ(Result(), 0u);
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
    EXPECT_EQ(m_pPrinter->SerialTtyName(), "ttyACM0");
}

TEST_F(SerialUpdate, TtyAcmPrinterHeldElsewhereIsFoundUnderItsNextName) {
    MakeFile("FW", kTypeId, 0x07, 6000);
    StartSerial(Printer(kTypeId, 0x05), {}, true);
    UniqueFd other(::open((m_root.Path() + "/dev/" + kTty).c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(other);
    RunSerialAll();

    EXPECT_EQ(Result(), 0u);
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
    EXPECT_EQ(m_pPrinter->SerialTtyName(), "ttyACM1");
}

// A run that gets past the restart and fails there keeps its whole log (a run that
// succeeds starts the log afresh at its end): the user's choice applied to the defaults
// and by the driver to the line, the line opened again after the restart, and the choice
// back in the table.
TEST_F(SerialUpdate, FailedRunAppliedTheChosenSettingsAndRestores) {
    MakeFile("FW", kTypeId, 0x07, 6000);
    sim::Faults faults;
    faults.nWrongRomId = 0x06;
    StartSerial(Printer(kTypeId, 0x05), faults);
    RunInitialisation();
    RunSerialOnce(false);

    EXPECT_NE(Result(), 0u);
    EXPECT_FALSE(m_host.m_bRetryPosted);
    const std::size_t setup = At("Set ComConfig. [57600,8,0,1,0,1,0,0,0,0,2]");
    ASSERT_NE(setup, std::string::npos);
    const std::size_t applied = At("[ttyACM0] SetComConfig SetCommState(57600,n,8,1,p) ");
    ASSERT_NE(applied, std::string::npos);
    EXPECT_LT(setup, applied);
    EXPECT_GE(Count("[ttyACM0] Open CreateFile(" + m_root.Path() + "/dev/ttyACM0)"), 2);
    EXPECT_EQ(At("Set ComConfig default."), std::string::npos);
    COMMCONFIG cc;
    ASSERT_TRUE(GetDefaultCommConfig(kTty, &cc));
    EXPECT_EQ(cc.dcb.BaudRate, 57600u);
}

// The user asks for a retry: the retry run switches to the fixed setting, which reaches
// the line, and the choice is restored when it ends, failed as it is.
TEST_F(SerialUpdate, RetrySwitchesToTheFixedSettingAndRestores) {
    MakeFile("FW", kTypeId, 0x07, 6000);
    sim::Faults faults;
    faults.nWrongRomId = 0x06;
    StartSerial(Printer(kTypeId, 0x05), faults);
    m_box.QueueAnswer(IDRETRY);
    RunInitialisation();
    RunSerialOnce(false);
    ASSERT_TRUE(m_host.m_bRetryPosted);
    const std::size_t setup = At("Set ComConfig. [57600,8,0,1,0,1,0,0,0,0,2]");
    ASSERT_NE(setup, std::string::npos);
    RunSerialOnce(true);

    const std::size_t push = At("Set ComConfig default. [115200,8,0,1,0,1,0,0,0,0,2]");
    ASSERT_NE(push, std::string::npos);
    EXPECT_LT(setup, push);
    const std::size_t applied = LogText().find("[ttyACM0] SetComConfig SetCommState(115200,n,8,1,p) ", push);
    EXPECT_NE(applied, std::string::npos);
    const std::size_t reset = LogText().rfind("Reset ComConfig. [57600,8,0,1,0,1,0,0,0,0,2]");
    ASSERT_NE(reset, std::string::npos);
    EXPECT_LT(push, reset);
    COMMCONFIG cc;
    ASSERT_TRUE(GetDefaultCommConfig(kTty, &cc));
    EXPECT_EQ(cc.dcb.BaudRate, 57600u);
}

// Faults on the serial line with the conversation they leave (the fault matrix of
// tests/faults runs the rest of them over serial, with the line settings checked).
struct SerialFault {
    const char* pszName;
    void (*pfnSet)(sim::Faults&);
    DWORD dwResult;
    const char* pszBoxCode;                 // the codes of the one box shown; nullptr: not compared
    std::vector<std::string> conversation;  // empty: not compared
};

std::string FaultName(const ::testing::TestParamInfo<SerialFault>& info) { return info.param.pszName; }

class SerialFaults : public SerialUpdate, public ::testing::WithParamInterface<SerialFault> {
protected:
    void StartWith(const SerialFault& c) {
        sim::Config config;
        config.state = Printer(kTypeId, 0x05);
        c.pfnSet(config.faults);
        m_pPrinter = StartSerialPrinter(config, m_root.Path(), kTty);
        ASSERT_TRUE(m_pPrinter);
    }
};

TEST_P(SerialFaults, RunEndsAsOnLan) {
    const SerialFault& c = GetParam();
    MakeFile("FW", kTypeId, 0x07, 6000);
    StartWith(c);
    m_box.QueueAnswer(IDCANCEL);
    RunSerialAll();
    EXPECT_EQ(Result(), c.dwResult);
    if (c.pszBoxCode != nullptr) {
        ASSERT_EQ(BoxTexts().size(), 1u);
        EXPECT_THAT(BoxTexts()[0], HasSubstr(c.pszBoxCode));
    }
    if (!c.conversation.empty()) {
        EXPECT_EQ(Conversation(), c.conversation);
    }
    EXPECT_TRUE(m_host.Has("restore"));
    COMMCONFIG cc;
    ASSERT_TRUE(GetDefaultCommConfig(kTty, &cc));
    EXPECT_EQ(cc.dcb.BaudRate, 57600u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SerialFaults,
    ::testing::Values(
        SerialFault{"WrongRomIdAfterRestart", [](sim::Faults& f) { f.nWrongRomId = 0x06; }, ERROR_INVALID_DATA,
                    "[ 040703, 2000000D ]", {"CMD_DEVICE_ID", "CMD_ROM_ID", "transfer:FW:stored", "CMD_ROM_ID"}}),
    FaultName);

}  // namespace
