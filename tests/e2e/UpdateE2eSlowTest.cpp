// The retry run after a dropped transfer. It sits through the product's 100 s reconnect
// pause of a LAN retry run, so it carries the label "slow".
#include "e2e/UpdateFixture.h"

#include "ui/StringTable.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(UpdateFixture, DropDuringTransferThenRetry) {
    // More than the socket buffers hold, so the dropped link must show in a write.
    sim::MadeFile fw = MakeFile("FW", kTypeId, 0x07, 512 * 1024);
    sim::Faults faults;
    faults.cbDropAfter = 8192;  // the first transfer only
    StartPrinter(Printer(kTypeId, 0x05), faults);
    m_box.QueueAnswer(IDRETRY);

    RunInitialisation();
    RunUpdateOnce();
    EXPECT_EQ(Result(), ERROR_WRITE_FAULT);
    ASSERT_TRUE(m_host.m_bRetryPosted);
    EXPECT_TRUE(theApp.TestFlags(UF_RETRY_REQUESTED));
    EXPECT_FALSE(m_host.Has("restore")) << "the dialog stays busy until the retry run";
    const std::size_t nFirstRunEvents = m_host.Events().size();
    CRecordingLan::Clear();

    RunUpdateOnce(true);
    EXPECT_EQ(Result(), 0u);
    EXPECT_EQ(ExitStatusFromResult(Result()), 0);
    std::string failed = LoadResString(IDS_FW_UPDATE_FAILED) + "\n\nErrorCode = [ 040501, 0000001D ]";
    std::string succeeded = StrPrintf(LoadResString(IDS_FW_UPDATE_SUCCEEDED_VERSION).c_str(),
                                      sim::DefaultVersionText(kTypeId, 0x07).c_str());
    EXPECT_THAT(BoxTexts(), ElementsAre(failed, succeeded));
    // The retry run starts at the restart wait: no identification, the firmware again.
    EXPECT_THAT(Conversation(), ElementsAre("CMD_DEVICE_ID", "CMD_ROM_ID", "drop", "transfer:FW:dropped",
                                            "transfer:FW:stored", "CMD_ROM_ID", "CMD_FW_VERSION"));
    EXPECT_EQ(BlocksOf(4096, fw.cbFile), ExpectedBlocks(fw.cbFile));
    EXPECT_TRUE(theApp.TestFlags(UF_RETRY));
    EXPECT_FALSE(theApp.TestFlags(UF_RETRY_REQUESTED));
    auto events = m_host.Events();
    std::vector<std::string> retryEvents(events.begin() + static_cast<long>(nFirstRunEvents), events.end());
    EXPECT_EQ(retryEvents.front(), "text:1015:" + LoadResString(IDS_PREPARING));
    EXPECT_EQ(retryEvents.back(), "restore");
    std::lock_guard lock(m_urlMutex);
    EXPECT_THAT(m_urls, IsEmpty());
}

// A model whose first block is followed by a long pause: after Retry, the retried image
// must still go out on one data connection, or a printer that takes one image per
// connection gets 20 bytes, then a stream that does not start like firmware.
TEST_F(UpdateFixture, RetryAfterTheFirstBlockPauseKeepsTheImageOnOneConnection) {
    constexpr BYTE kPausingModel = 0x1F;
    SetModel(kPausingModel, DK_FIRMWARE, 0);
    sim::MadeFile fw = MakeFile("FW", kPausingModel, 0x07, 64 * 1024);
    sim::Faults faults;
    faults.cbDropAfter = 8192;  // the first transfer only
    StartPrinter(Printer(kPausingModel, 0x05), faults);
    ASSERT_TRUE(m_pPrinter->GetFaults().bImagePerConnection);
    m_box.QueueAnswer(IDRETRY);

    RunInitialisation();
    RunUpdateOnce();
    EXPECT_EQ(Result(), ERROR_WRITE_FAULT);
    ASSERT_TRUE(m_host.m_bRetryPosted);
    RunUpdateOnce(true);

    EXPECT_EQ(Result(), 0u);
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
    std::string sent = TempDir::Read(fw.szPath);
    std::vector<BYTE> got = m_pPrinter->LastTransferImage();
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin(), [](BYTE a, char b) { return a == static_cast<BYTE>(b); }));
    // From the retried image's first bytes to its end, no other data connection was made.
    std::vector<sim::SimEvent> events = m_pPrinter->Transcript();
    auto end = std::find_if(events.rbegin(), events.rend(), [](const sim::SimEvent& e) {
        return e.szName == "transfer_end" && e.Str("kind") == "FW" && e.Str("result") == "stored";
    });
    ASSERT_NE(end, events.rend());
    auto begin = std::find_if(end, events.rend(), [](const sim::SimEvent& e) {
        return e.szName == "transfer_begin" && e.Str("kind") == "FW";
    });
    ASSERT_NE(begin, events.rend());
    EXPECT_EQ(std::count_if(end, begin, [](const sim::SimEvent& e) {
                  return e.szName == "connect" && e.Str("channel") == "data";
              }),
              0);
}

}  // namespace
