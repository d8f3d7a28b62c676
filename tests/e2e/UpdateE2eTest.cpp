// Whole update runs over LAN against the simulated printer: the result, the exit status,
// every box with its codes, and what the printer received in which order.
#include "e2e/UpdateFixture.h"

#include "ui/StringTable.h"

namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

std::string S(DWORD dwId) { return LoadResString(dwId); }
std::string ConnectFailed(DWORD dwLocation, DWORD dwError) {
    return S(IDS_CONNECT_FAILED) + StrPrintf("\n\nErrorCode = [ %06X, %08X ]", dwLocation, dwError);
}
std::string TransferFailed(DWORD dwLocation, DWORD dwError) {
    return S(IDS_FW_UPDATE_FAILED) + StrPrintf("\n\nErrorCode = [ %06X, %08X ]", dwLocation, dwError);
}
std::string Succeeded(const std::string& version) { return StrPrintf(S(IDS_FW_UPDATE_SUCCEEDED_VERSION).c_str(), version.c_str()); }

// The commands of a first run that sends firmware and checks no data.
const std::vector<std::string> kFirmwareConversation{"CMD_DEVICE_ID", "CMD_ROM_ID", "transfer:FW:stored", "CMD_ROM_ID",
                                                     "CMD_FW_VERSION"};

TEST_F(UpdateFixture, FirmwareSentAndVerified) {
    sim::MadeFile fw = MakeFile("FW", kTypeId, 0x07, 20000);
    StartPrinter(Printer(kTypeId, 0x05));
    RunAll();

    EXPECT_EQ(Result(), 0u);
    EXPECT_EQ(ExitStatusFromResult(Result()), 0);
    std::string version = sim::DefaultVersionText(kTypeId, 0x07);
    EXPECT_EQ(FwVersionText(), version);
    EXPECT_THAT(BoxTexts(), ElementsAre(Succeeded(version)));
    EXPECT_EQ(m_box.Boxes()[0].dwStyle & MB_ICONMASK, MB_ICONINFORMATION);
    EXPECT_THAT(Conversation(), ElementsAreArray(kFirmwareConversation));
    EXPECT_THAT(BlocksOf(4096, fw.cbFile), ElementsAre(4096, 4096, 4096, 4096, 3640));
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);

    auto progress = m_host.ProgressTexts();
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.front(), "Sending... [ 20%]");
    EXPECT_EQ(progress.back(), "Waiting... [100%]");
    EXPECT_TRUE(m_host.Has("text:1015:" + S(IDS_PREPARING)));
    EXPECT_TRUE(m_host.Has("text:1015:" + S(IDS_UPDATING_FIRMWARE)));
    EXPECT_TRUE(m_host.Has("restore"));
    EXPECT_FALSE(m_host.Has("post:retry"));
    EXPECT_TRUE(theApp.TestFlags(UF_NO_DATA_UPDATE));
}

TEST_F(UpdateFixture, FirmwareCurrent) {
    MakeFile("FW", kTypeId, 0x07, 20000);
    StartPrinter(Printer(kTypeId, 0x07));
    RunAll();

    EXPECT_EQ(Result(), ERROR_ALREADY_REGISTERED);
    EXPECT_EQ(ExitStatusFromResult(Result()), 2);
    std::string version = sim::DefaultVersionText(kTypeId, 0x07);
    EXPECT_THAT(BoxTexts(), ElementsAre(StrPrintf(S(IDS_FW_ALREADY_VERSION).c_str(), version.c_str())));
    EXPECT_THAT(Conversation(), ElementsAre("CMD_DEVICE_ID", "CMD_ROM_ID", "CMD_FW_VERSION"));
    EXPECT_TRUE(Events("transfer_begin").empty());
    EXPECT_TRUE(theApp.TestFlags(UF_NO_FW_UPDATE));
    EXPECT_TRUE(theApp.TestFlags(UF_NO_DATA_UPDATE));
}

TEST_F(UpdateFixture, ForcedUpdateSendsCurrentFirmware) {
    sim::MadeFile fw = MakeFile("FW", kTypeId, 0x07, 9000);
    StartPrinter(Printer(kTypeId, 0x09));
    theApp.SetFlags(UF_FORCE_UPDATE);
    RunAll();

    EXPECT_EQ(Result(), 0u);
    EXPECT_EQ(ExitStatusFromResult(Result()), 0);
    EXPECT_THAT(BoxTexts(), ElementsAre(Succeeded(sim::DefaultVersionText(kTypeId, 0x07))));
    EXPECT_THAT(Conversation(), ElementsAreArray(kFirmwareConversation));
    EXPECT_THAT(BlocksOf(4096, fw.cbFile), ElementsAre(4096, 4096, 832));
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
}

TEST_F(UpdateFixture, BootLoaderPrinterTakesFirmwareWithoutVersionCheck) {
    SetModel(kTypeId, DK_FIRMWARE, OPT_NO_BOOT_DEVID);
    MakeFile("FW", kTypeId, 0x07, 5000);
    sim::PrinterState state = Printer(kTypeId, 0xF3);
    state.bBootMode = true;
    StartPrinter(state);
    RunAll();

    EXPECT_EQ(Result(), 0u);
    EXPECT_TRUE(theApp.TestFlags(UF_BOOT_MODE));
    EXPECT_THAT(BoxTexts(), ElementsAre(Succeeded(sim::DefaultVersionText(kTypeId, 0x07))));
    // DEVICE ID goes unanswered until the time limit; no ROM ID is asked before sending.
    std::vector<std::string> conversation = Conversation();
    auto transfer = std::find(conversation.begin(), conversation.end(), "transfer:FW:stored");
    ASSERT_NE(transfer, conversation.end());
    EXPECT_GE(transfer - conversation.begin(), 2);
    for (auto it = conversation.begin(); it != transfer; ++it) EXPECT_EQ(*it, "CMD_DEVICE_ID");
    EXPECT_THAT(std::vector<std::string>(transfer + 1, conversation.end()), ElementsAre("CMD_ROM_ID", "CMD_FW_VERSION"));
    // The reset of the second attempt reached the printer.
    EXPECT_FALSE(Events("reset").empty());
}

TEST_F(UpdateFixture, DataOnly) {
    SetModel(kTypeId, DK_FIRMWARE | DK_KANJI_FONT, 0);
    sim::MadeFile kf = MakeFile("KF", kTypeId, 0, 10000);
    sim::PrinterState state = Printer(kTypeId, 0x05);
    state.wChecksum[sim::KIND_KANJI] = static_cast<WORD>(kf.wChecksum + 1);
    StartPrinter(state);
    RunAll();

    EXPECT_EQ(Result(), 0u);
    EXPECT_EQ(ExitStatusFromResult(Result()), 0);
    EXPECT_THAT(BoxTexts(), ElementsAre(S(IDS_FW_UPDATE_SUCCEEDED)));
    EXPECT_THAT(Conversation(), ElementsAre("CMD_DEVICE_ID", "CMD_FONT_CHECKSUM", "transfer:KF:stored", "CMD_FONT_CHECKSUM"));
    EXPECT_EQ(m_pPrinter->State().wChecksum[sim::KIND_KANJI], kf.wChecksum);
    // The download header goes first, in the first block.
    EXPECT_THAT(BlocksOf(4096, 20 + kf.cbFile), ElementsAre(4096, 4096, 1828));
    EXPECT_EQ(theApp.nTypeId.load(), kTypeId);
}

TEST_F(UpdateFixture, DataAndFirmware) {
    SetModel(kTypeId, DK_FIRMWARE | DK_KANJI_FONT | DK_CODE_PAGE, 0);
    sim::MadeFile fw = MakeFile("FW", kTypeId, 0x07, 6000);
    sim::MadeFile kf = MakeFile("KF", kTypeId, 0, 5000, 2);
    sim::MadeFile cf = MakeFile("CF", kTypeId, 0, 3000, 3);
    sim::PrinterState state = Printer(kTypeId, 0x05);
    state.wChecksum[sim::KIND_KANJI] = kf.wChecksum;  // already there: not sent
    state.wChecksum[sim::KIND_CODEPAGE] = static_cast<WORD>(cf.wChecksum ^ 0x5555);
    StartPrinter(state);
    RunAll();

    EXPECT_EQ(Result(), 0u);
    EXPECT_THAT(BoxTexts(), ElementsAre(Succeeded(sim::DefaultVersionText(kTypeId, 0x07))));
    EXPECT_THAT(Conversation(), ElementsAre("CMD_DEVICE_ID", "CMD_ROM_ID", "transfer:FW:stored", "CMD_ROM_ID",
                                            "CMD_FW_VERSION", "CMD_FONT_CHECKSUM", "CMD_FONT_CHECKSUM",
                                            "transfer:CF:stored", "CMD_FONT_CHECKSUM"));
    EXPECT_EQ(m_pPrinter->State().wChecksum[sim::KIND_CODEPAGE], cf.wChecksum);
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
}

TEST_F(UpdateFixture, UnknownTypeId) {
    MakeFile("FW", kTypeId, 0x07, 5000);
    StartPrinter(Printer(0x30, 0x05));
    RunAll();

    EXPECT_EQ(Result(), ERROR_BAD_DEVICE);
    EXPECT_EQ(ExitStatusFromResult(Result()), 1);
    EXPECT_THAT(BoxTexts(), ElementsAre(ConnectFailed(0x040301, 0x200004B0)));
    EXPECT_THAT(Conversation(), ElementsAre("CMD_DEVICE_ID"));
    EXPECT_TRUE(m_host.Has("restore"));
}

TEST_F(UpdateFixture, NoAnswer) {
    MakeFile("FW", kTypeId, 0x07, 5000);
    sim::Faults faults;
    faults.bSilent = true;
    StartPrinter(Printer(kTypeId, 0x05), faults);
    RunAll();

    EXPECT_EQ(Result(), ERROR_CAN_NOT_COMPLETE);
    EXPECT_EQ(ExitStatusFromResult(Result()), 1);
    EXPECT_THAT(BoxTexts(), ElementsAre(ConnectFailed(0x040303, 1003)));
    std::vector<std::string> conversation = Conversation();
    EXPECT_GE(conversation.size(), 3u);
    for (const std::string& c : conversation) EXPECT_EQ(c, "CMD_DEVICE_ID");
    // Attempt 2 on LAN wakes the printer with 102400 zero bytes.
    EXPECT_THAT(CRecordingLan::Writes(), ::testing::Contains(102400u));
    EXPECT_TRUE(Events("transfer_begin").empty());
}

TEST_F(UpdateFixture, WrongRomIdAfterRestart) {
    MakeFile("FW", kTypeId, 0x07, 5000);
    sim::Faults faults;
    faults.nWrongRomId = 0x06;
    StartPrinter(Printer(kTypeId, 0x05), faults);
    RunAll();

    EXPECT_EQ(Result(), ERROR_INVALID_DATA);
    EXPECT_EQ(ExitStatusFromResult(Result()), 1);
    EXPECT_THAT(BoxTexts(), ElementsAre(TransferFailed(0x040703, 0x2000000D)));
    EXPECT_EQ(m_box.Boxes()[0].dwStyle & MB_TYPEMASK, MB_RETRYCANCEL);
    EXPECT_THAT(Conversation(), ElementsAre("CMD_DEVICE_ID", "CMD_ROM_ID", "transfer:FW:stored", "CMD_ROM_ID"));
    EXPECT_FALSE(m_host.Has("post:retry"));
}

TEST_F(UpdateFixture, ChecksumMismatchAfterSending) {
    SetModel(kTypeId, DK_KANJI_FONT, 0);
    sim::MadeFile kf = MakeFile("KF", kTypeId, 0, 6000);
    sim::PrinterState state = Printer(kTypeId, 0x05);
    state.wChecksum[sim::KIND_KANJI] = static_cast<WORD>(kf.wChecksum + 7);
    StartPrinter(state);
    RunInitialisation();
    // The file's checksum as loaded never matches what the printer computes.
    theApp.tables.KF[kTypeId].wChecksum = static_cast<WORD>(kf.wChecksum + 1);
    RunUpdateOnce();

    EXPECT_EQ(Result(), ERROR_INVALID_DATA);
    EXPECT_EQ(ExitStatusFromResult(Result()), 1);
    EXPECT_THAT(BoxTexts(), ElementsAre(TransferFailed(0x040C02, 13)));
    EXPECT_THAT(Conversation(), ElementsAre("CMD_DEVICE_ID", "CMD_FONT_CHECKSUM", "transfer:KF:stored", "CMD_FONT_CHECKSUM"));
}

TEST_F(UpdateFixture, CancelDuringTransfer) {
    MakeFile("FW", kTypeId, 0x07, 400000);
    sim::Faults faults;
    faults.dwReadRate = 100000;
    StartPrinter(Printer(kTypeId, 0x05), faults);
    RunInitialisation();
    theApp.nPortKind = static_cast<int>(PORT_KIND_LAN);
    theApp.szPortName = m_szAddress;
    ASSERT_TRUE(StartUpdateThread(m_host, false));
    ASSERT_TRUE(m_pPrinter->WaitForEvent("transfer_begin", 30000));
    theApp.SetFlags(UF_CANCEL);
    WaitForWorker(INFINITE);

    EXPECT_EQ(Result(), ERROR_CANCELLED);
    EXPECT_EQ(ExitStatusFromResult(Result()), 3);
    EXPECT_THAT(BoxTexts(), IsEmpty());
    EXPECT_FALSE(theApp.TestFlags(UF_CANCEL));
    EXPECT_TRUE(m_host.Has("restore"));
    // The transfer stopped early: the printer never got the whole image.
    for (const sim::SimEvent& e : Events("transfer_end")) EXPECT_NE(e.Str("result"), "stored");
    EXPECT_THAT(Conversation(), Not(::testing::Contains("CMD_FW_VERSION")));
}

TEST_F(UpdateFixture, DropDuringTransferThenCancel) {
    // More than the socket buffers hold, so the dropped link must show in a write.
    MakeFile("FW", kTypeId, 0x07, 512 * 1024);
    sim::Faults faults;
    faults.cbDropAfter = 8192;
    StartPrinter(Printer(kTypeId, 0x05), faults);
    m_box.QueueAnswer(IDCANCEL);
    RunAll();

    EXPECT_EQ(Result(), ERROR_WRITE_FAULT);
    EXPECT_EQ(ExitStatusFromResult(Result()), 1);
    EXPECT_THAT(BoxTexts(), ElementsAre(TransferFailed(0x040501, ERROR_WRITE_FAULT)));
    EXPECT_THAT(Conversation(), ElementsAre("CMD_DEVICE_ID", "CMD_ROM_ID", "drop", "transfer:FW:dropped"));
    EXPECT_FALSE(theApp.TestFlags(UF_RETRY_REQUESTED));
    EXPECT_FALSE(m_host.Has("post:retry"));
    EXPECT_TRUE(m_host.Has("restore"));
    std::lock_guard lock(m_urlMutex);
    EXPECT_THAT(m_urls, IsEmpty());
}

TEST_F(UpdateFixture, ExtendedCommandSetSendsPostUpdate) {
    constexpr BYTE kExtTypeId = 0x26;
    SetModel(kExtTypeId, DK_FIRMWARE, 0);
    MakeFile("FW", kExtTypeId, 0x07, 5000);
    sim::PrinterState state = Printer(kExtTypeId, 0x05);
    state.sets = sim::CommandSets::Extended;
    StartPrinter(state);
    RunAll();

    EXPECT_EQ(Result(), 0u);
    EXPECT_TRUE(theApp.TestFlags(UF_EXT_COMMANDS));
    EXPECT_THAT(BoxTexts(), ElementsAre(Succeeded(sim::DefaultVersionText(kExtTypeId, 0x07))));
    EXPECT_THAT(Conversation(), ElementsAre("CMD_DEVICE_ID", "CMD_ROM_ID", "transfer:FW:stored", "post_update",
                                            "CMD_ROM_ID", "CMD_FW_VERSION"));
    for (const sim::SimEvent& e : Events("command")) EXPECT_EQ(e.Str("set"), "extended") << e.Json();
}

TEST_F(UpdateFixture, IgnorableBytesInEveryAnswer) {
    MakeFile("FW", kTypeId, 0x07, 5000);
    sim::PrinterState state = Printer(kTypeId, 0x07);
    state.bSprinkle = true;
    StartPrinter(state);
    RunAll();

    EXPECT_EQ(Result(), ERROR_ALREADY_REGISTERED);
    EXPECT_EQ(FwVersionText(), sim::DefaultVersionText(kTypeId, 0x07));
    EXPECT_THAT(Conversation(), ElementsAre("CMD_DEVICE_ID", "CMD_ROM_ID", "CMD_FW_VERSION"));
}

TEST_F(UpdateFixture, SilentRunShowsNoBoxAndCloses) {
    MakeFile("FW", kTypeId, 0x07, 5000);
    StartPrinter(Printer(0x30, 0x05));
    theApp.SetFlags(UF_SILENT);
    RunAll();

    EXPECT_EQ(Result(), ERROR_BAD_DEVICE);
    EXPECT_THAT(BoxTexts(), IsEmpty());
    auto events = m_host.Events();
    EXPECT_TRUE(m_host.Has("post:select"));
    EXPECT_EQ(events.back(), "post:close");
    for (const std::string& e : events) EXPECT_THAT(e, Not(StartsWith("text:"))) << "no texts in silent mode";
    // The box that was not shown is in the log, with the run's own lines.
    std::string log = LogText();
    EXPECT_THAT(log, HasSubstr("Enter update thread..."));
    EXPECT_THAT(log, HasSubstr("Open port [" + m_szAddress + "]"));
    EXPECT_THAT(log, HasSubstr("ErrorCode = [ 040301, 200004B0 ]"));
}

}  // namespace

// A printer that reads slower than the engine writes: the write timeouts fire on many
// blocks, and still every byte arrives once, in order, on one data connection.
class SlowReaderUpdate : public UpdateFixture, public ::testing::WithParamInterface<DWORD> {};

TEST_P(SlowReaderUpdate, ImageArrivesByteForByte) {
    sim::MadeFile fw = MakeFile("FW", kTypeId, 0x07, 24000);
    sim::Faults faults;
    faults.dwReadRate = GetParam();
    StartPrinter(Printer(kTypeId, 0x05), faults);
    RunAll();

    EXPECT_EQ(Result(), 0u);
    EXPECT_THAT(Conversation(), ElementsAreArray(kFirmwareConversation));
    std::string sent = TempDir::Read(fw.szPath);
    std::vector<BYTE> got = m_pPrinter->LastTransferImage();
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin(), [](BYTE a, char b) { return a == static_cast<BYTE>(b); }));
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
    // Slower than a block per write timeout: the writes ran out of time, and what each
    // one reported is where the next one went on.
    if (GetParam() < 4096) {
        EXPECT_GT(CRecordingLan::TimedOut(), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(ReadRates, SlowReaderUpdate, ::testing::Values(3000u, 30000u, 300000u));
