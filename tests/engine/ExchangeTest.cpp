// ExchangeCommand through the port service, against a driver that replays scripted reads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "ScriptPort.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "engine/Steps.h"
#include "platform/WinError.h"

namespace {

class Exchange : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterPortKind(kScriptKind, &CScriptPort::Make);
        g_script.Clear();
        ASSERT_TRUE(pfnOpenPort(0, kScriptKind, "SCRIPT1", &m_hSdk)) << GetLastError();
    }
    void TearDown() override {
        if (m_hSdk != 0) pfnClosePort(m_hSdk, 0);
        RegisterPortKind(kScriptKind, nullptr);
    }
    void Reads(std::vector<ReadStep> steps) {
        std::lock_guard lock(g_script.mutex);
        for (auto& s : steps) g_script.reads.push_back(std::move(s));
    }
    DWORD Run(ResponseFormat format = STANDARD_COMMANDS.idFormat) {
        return ExchangeCommand(STANDARD_COMMANDS.deviceId, m_hSdk, format, m_answer, sizeof m_answer, 0, &m_cbAnswer);
    }

    TempDir m_root;
    LogCapture m_log{m_root.Path()};  // the port layer's lines stay in the test's folder
    HSDK m_hSdk = 0;
    BYTE m_answer[32] = {};
    DWORD m_cbAnswer = 99;
};

TEST_F(Exchange, AnswerInPiecesAfterTheDrain) {
    // The drain drops a stale answer; the real one comes in two reads.
    Reads({{{0x0E, 0xE5, 0xF0, 0x00}}, {{0x0E, 0xEF}}, {{0x11, 0xF1, 0x00}}});
    EXPECT_EQ(Run(), ERROR_SUCCESS);
    EXPECT_EQ(m_cbAnswer, 1u);
    EXPECT_EQ(m_answer[0], 0x1F);
    std::lock_guard lock(g_script.mutex);
    ASSERT_EQ(g_script.writes.size(), 1u);
    EXPECT_EQ(g_script.writes[0].size(), 35u);
}

TEST_F(Exchange, CompleteAnswerEndsTheExchangeWithoutAnotherRead) {
    // The printer's next bytes stay in the port: no pause and read follow a whole answer.
    Reads({{}, {{0x0E, 0xEF, 0xF1, 0x00}}, {{0x0E, 0xE5, 0xF0, 0x00}}});
    EXPECT_EQ(Run(), ERROR_SUCCESS);
    EXPECT_EQ(m_cbAnswer, 1u);
    EXPECT_EQ(m_answer[0], 0x1F);
    std::lock_guard lock(g_script.mutex);
    EXPECT_EQ(g_script.reads.size(), 1u);
}

TEST_F(Exchange, LoneAbortByte) {
    Reads({{}, {{0x01}}});
    EXPECT_EQ(Run(), ERROR_CAN_NOT_COMPLETE);
    EXPECT_EQ(m_cbAnswer, 0u);
}

TEST_F(Exchange, FailingReadsBetweenPiecesAreRetried) {
    Reads({{}, {{0x02, 'V', 'E', 'R'}}, {{}, true, ERROR_BUSY}, {{'2', '2', '0', '7', 0x00}}});
    EXPECT_EQ(Run(STANDARD_COMMANDS.versionFormat), ERROR_SUCCESS);
    EXPECT_EQ(m_cbAnswer, 7u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(m_answer)), "VER2207");
}

TEST_F(Exchange, IncompleteAnswerRunsOutOfTime) {
    Reads({{}, {{0x0E, 0xEF, 0x00}}});
    EXPECT_EQ(Run(), ERROR_CAN_NOT_COMPLETE);
    EXPECT_EQ(m_cbAnswer, 0u);
}

TEST_F(Exchange, DrainFailureKeepsItsCode) {
    Reads({{{}, true, ERROR_DEVICE_NOT_CONNECTED}});
    EXPECT_EQ(Run(), ERROR_DEVICE_NOT_CONNECTED);
    std::lock_guard lock(g_script.mutex);
    EXPECT_TRUE(g_script.writes.empty()) << "nothing is sent after a failed drain";
}

TEST_F(Exchange, WriteFailureKeepsItsCode) {
    {
        std::lock_guard lock(g_script.mutex);
        g_script.bWriteFails = true;
        g_script.dwWriteError = ERROR_DEVICE_NOT_CONNECTED;
    }
    EXPECT_EQ(Run(), ERROR_DEVICE_NOT_CONNECTED);
}

}  // namespace
