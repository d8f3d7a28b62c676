// The waits and locks of the driver base, on a test driver made directly.
#include <thread>

#include "PortFixture.h"
#include "TestPort.h"
#include "platform/LastError.h"
#include "platform/WinError.h"

namespace {

constexpr DWORD LONG_WAIT = 60000;

class DriverBase : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        m_pDevice = MakeTestDevice("C");
        m_pPort = std::make_unique<CTestPort>("C", m_pDevice, true);
    }
    void TearDown() override {
        m_pPort.reset();
        PortFixture::TearDown();
    }
    std::shared_ptr<TestDevice> m_pDevice;
    std::unique_ptr<CTestPort> m_pPort;
};

TEST_F(DriverBase, ConstructionLeavesThePortOfflineAndClosed) {
    EXPECT_EQ(m_pPort->Status(), 0x10000001u);
    EXPECT_EQ(m_pPort->UseCount(), 0u);
    EXPECT_FALSE(m_pPort->hThread.Attached());
    EXPECT_TRUE(m_pPort->hEvtCtrl.IsSet());
    EXPECT_TRUE(m_pPort->hEvtSend.IsSet());
    EXPECT_FALSE(m_pPort->hEvtTerm.IsSet());
}

TEST_F(DriverBase, WaitForAThreadThatNeverRanClearsTheFlags) {
    m_pPort->bAbortSend = TRUE;
    m_pPort->bThreadTimeout = TRUE;
    DWORD dwTimeout = 100;
    EXPECT_TRUE(m_pPort->WaitForLastTrdSending(&dwTimeout, FALSE));
    EXPECT_FALSE(m_pPort->bAbortSend);
    EXPECT_FALSE(m_pPort->bThreadTimeout);
    EXPECT_LOG('D', "[C] WaitForLastTrdSending [non thread mode]");
}

TEST_F(DriverBase, UseCounterNeverGoesBelowZero) {
    m_pPort->IncUseCounter();
    m_pPort->DecUseCounter();
    EXPECT_EQ(WaitForEvent(m_pPort->hEvtUseDec, 0), WAIT_OBJECT_0);
    m_pPort->DecUseCounter();
    EXPECT_EQ(m_pPort->UseCount(), 0u);
    EXPECT_EQ(WaitForEvent(m_pPort->hEvtUseDec, 0), WAIT_OBJECT_0);
    EXPECT_LOG('E', "[C] DecUseCounter (nCallStartDoc=0)");
}

TEST_F(DriverBase, LocksAreReleasedOnAnotherThread) {
    ASSERT_TRUE(m_pPort->WaitForCtrlFunc());
    ASSERT_TRUE(m_pPort->WaitForLastSending(nullptr, FALSE));
    DWORD dwTimeout = 20;
    EXPECT_FALSE(m_pPort->WaitForLastSending(&dwTimeout, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    EXPECT_LOG('W', "[C] WaitForLastSending [TIMEOUT:20ms]");
    std::thread other([this]() {
        m_pPort->ReleaseSending();
        m_pPort->ReleaseCtrlFunc();
    });
    other.join();
    dwTimeout = LONG_WAIT;
    EXPECT_TRUE(m_pPort->WaitForLastSending(&dwTimeout, FALSE));
    EXPECT_LE(dwTimeout, LONG_WAIT);
    EXPECT_TRUE(m_pPort->WaitForCtrlFunc());
    EXPECT_LOG('D', "[C] WaitForLastSending [PASSTIME:");
    m_pPort->ReleaseSending();
    m_pPort->ReleaseCtrlFunc();
}

TEST_F(DriverBase, CancelWakesTheSendLockUnlessIgnored) {
    m_pPort->hEvtCancel.Set();
    DWORD dwTimeout = LONG_WAIT;
    EXPECT_FALSE(m_pPort->WaitForLastSending(&dwTimeout, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    EXPECT_LOG('W', "[C] WaitForLastSending [CANCEL]");
    EXPECT_TRUE(m_pPort->WaitForLastSending(&dwTimeout, TRUE));
    m_pPort->ReleaseSending();
}

TEST_F(DriverBase, NoLockAfterIoCancelRequest) {
    EXPECT_TRUE(m_pPort->IoCancelRequest());
    EXPECT_FALSE(m_pPort->WaitForCtrlFunc());
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    EXPECT_LOG('W', "[C] WaitForCtrlFunc [CANCEL]");
    DWORD dwTimeout = LONG_WAIT;
    EXPECT_FALSE(m_pPort->WaitForLastSending(&dwTimeout, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    EXPECT_FALSE(m_pPort->WaitForLastSending(nullptr, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    EXPECT_LOG('I', "[C] IoCancelRequest WaitForLastTrdSending()");
}

// A thread that ends while a cancel runs: success for a cancel or reset, failure for a write.
TEST_F(DriverBase, ThreadEndedDuringCancelCountsPerCaller) {
    for (BOOL bIgnoreCancel : {TRUE, FALSE}) {
        std::vector<BYTE> data(1 << 20, 0x55);
        DWORD cb = 0;
        ASSERT_TRUE(m_pPort->Write(data.data(), static_cast<DWORD>(data.size()), &cb, 50));
        EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
        m_pPort->bCancelling = TRUE;
        ASSERT_TRUE(m_pPort->Cancel());  // ends the thread's device write
        DWORD dwTimeout = LONG_WAIT;
        EXPECT_EQ(m_pPort->WaitForLastTrdSending(&dwTimeout, bIgnoreCancel), bIgnoreCancel);
        EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
        EXPECT_FALSE(m_pPort->hThread.Attached());
        m_pPort->bCancelling = FALSE;
        m_pDevice->DrainPeer(data.size(), 50);
    }
    EXPECT_LOG('W', "[C] WaitForLastTrdSending [CANCEL]");
}

TEST_F(DriverBase, TermWakesTheWriterWaitingForItsThread) {
    std::vector<BYTE> data(1 << 20, 0x55);
    DWORD cb = 0;
    std::thread stopper([this]() {
        WaitForEvent(m_pDevice->evtBlocked, LONG_WAIT);
        m_pPort->hEvtTerm.Set();
    });
    EXPECT_FALSE(m_pPort->Write(data.data(), static_cast<DWORD>(data.size()), &cb, LONG_WAIT));
    EXPECT_EQ(GetLastError(), ERROR_CANCELLED);
    stopper.join();
    // Either the writer saw the event first, or the thread ended on it first.
    EXPECT_TRUE(HasLine('W', "[C] WaitForTrdSending [CANCEL] [DATALEN:") ||
                HasLine('E', "[C] WaitForTrdSending [ERR:000004c7]"));
}

}  // namespace
