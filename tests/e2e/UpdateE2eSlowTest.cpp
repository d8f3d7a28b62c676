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

}  // namespace
