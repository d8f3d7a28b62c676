// A whole update while another process holds the log's folder lock in a loop, letting
// go only for moments: each wait for the lock used to start anew, so the transfer's dumps
// stalled the run into a time-out. The run must neither fail nor lose a line of its log.
#include "e2e/UpdateFixture.h"
#include "log/LogFile.h"
#include "support/LogLockHolder.h"

namespace {

TEST_F(UpdateFixture, LogLockHeldInALoopByAnotherProcessNeitherFailsTheUpdateNorCostsALine) {
    MakeFile("FW", kTypeId, 0x07, 200000);
    StartPrinter(Printer(kTypeId, 0x05));
    std::filesystem::create_directories(LogFolder());
    LogLockHolder holder(LogFolder() + "/" + kLogLockName, 1950, 30);
    ASSERT_TRUE(holder.Holding());
    RunAll();
    const std::string log = LogText();
    EXPECT_EQ(Result(), 0u) << log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
    // The success began the file anew (its record is not kept); what came after is whole.
    EXPECT_TRUE(log.starts_with("ZAQ firmware update log file\r\n")) << log;
    EXPECT_NE(log.find("Showing message."), std::string::npos) << log;
    EXPECT_EQ(log.find("entries dropped"), std::string::npos) << log;
}

}  // namespace
