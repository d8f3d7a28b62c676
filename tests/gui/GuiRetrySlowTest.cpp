// The retry flow from the desktop dialog: a dropped transfer, Retry in the failure box,
// and the retry run the dialog starts on the engine's request. The retry run sits
// through the product's reconnect pause of a LAN retry run, hence the label "slow".
#include "gui/GuiE2eFixture.h"

namespace {

TEST_F(GuiE2e, RetryAfterADroppedTransferUpdatesThePrinter) {
    MakeFirmware(0x07, 512 * 1024);  // more than the socket buffers hold
    sim::Faults faults;
    faults.cbDropAfter = 8192;  // the first transfer only
    StartPrinter(0x05, faults);
    {
        std::lock_guard lock(m_mutex);
        m_answers.push_back(IDRETRY);
    }
    SelectAndUpdate(300000);

    std::vector<std::string> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], LoadResString(IDS_FW_UPDATE_FAILED) + "\n\nErrorCode = [ 040501, 0000001D ]");
    EXPECT_EQ(boxes[1], Succeeded(0x07));
    EXPECT_EQ(theApp.nExitCode.load(), 0u);
    EXPECT_TRUE(theApp.TestFlags(UF_RETRY));
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
    std::lock_guard lock(m_mutex);
    EXPECT_TRUE(m_urls.empty());
}

}  // namespace

KELVO_GUI_TEST_MAIN()
