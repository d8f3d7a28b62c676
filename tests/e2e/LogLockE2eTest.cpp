// A whole update while another process holds the log's folder lock in a loop, letting
// go only for moments: each wait for the lock used to start anew, so the transfer's dumps
// stalled the run into a time-out. The run must neither fail nor lose a line of its log.
#include "e2e/UpdateFixture.h"
#include "log/LogFile.h"
#include "support/LogLockHolder.h"

namespace {

TEST_F(UpdateFixture, LogLockHeldInALoopByAnotherProcessNeitherFailsTheUpdateNorCostsALine) {
    sim::MadeFile fw = MakeFile("FW", kTypeId, 0x07, 200000);
    StartPrinter(Printer(kTypeId, 0x05));
    std::filesystem::create_directories(LogFolder());
    LogLockHolder holder(LogFolder() + "/" + kLogLockName, 1950, 30);
    ASSERT_TRUE(holder.Holding());
    RunAll();
    EXPECT_EQ(Result(), 0u);
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
    // The whole transfer is in the log, every block dumped, and nothing was dropped.
    const std::string log = LogText();
    std::size_t nDumps = 0;
    for (std::size_t at = log.find("] Transmitted ("); at != std::string::npos; at = log.find("] Transmitted (", at + 1)) {
        ++nDumps;
    }
    EXPECT_GE(nDumps, (fw.cbFile + 4095) / 4096) << log.size();
    EXPECT_EQ(log.find("entries dropped"), std::string::npos);
    EXPECT_NE(log.find("Showing message."), std::string::npos);
}

}  // namespace
