// ExchangeCommand through the port service, against a driver that replays scripted reads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <vector>

#include "engine/Steps.h"
#include "platform/LastError.h"
#include "platform/WinError.h"
#include "port/Common.h"
#include "port/Globals.h"

namespace {

constexpr DWORD kScriptKind = 0x51;

// One reply of the driver's Read: bytes, or a failure with a last error.
struct ReadStep {
    std::vector<BYTE> bytes;
    bool bFail = false;
    DWORD dwError = 0;
};

struct Script {
    std::mutex mutex;
    std::deque<ReadStep> reads;   // after these: no data
    bool bWriteFails = false;
    DWORD dwWriteError = 0;
    std::vector<std::vector<BYTE>> writes;
};
Script g_script;

class CScriptPort : public CCommon {
public:
    explicit CScriptPort(const char* pszName) {
        pszPortName = pszName;
        bSuccessInit = TRUE;
    }
    BOOL Init() override { return TRUE; }
    BOOL Open() override {
        ClearStatusBits(PM_STATUS_OFFLINE | PM_STATUS_CLOSED);
        return TRUE;
    }
    BOOL IsConnect() override { return TRUE; }
    void Close(BOOL) override {}
    BOOL Write(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD) override {
        std::lock_guard lock(g_script.mutex);
        if (g_script.bWriteFails) {
            SetLastError(g_script.dwWriteError);
            return FALSE;
        }
        g_script.writes.emplace_back(pBuffer, pBuffer + cbBuffer);
        *pcbWritten += cbBuffer;
        return TRUE;
    }
    BOOL Read(BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbRead, DWORD) override {
        std::lock_guard lock(g_script.mutex);
        *pcbRead = 0;
        if (g_script.reads.empty()) return TRUE;
        ReadStep step = std::move(g_script.reads.front());
        g_script.reads.pop_front();
        if (step.bFail) {
            // A device that fails a read is offline until it is opened again.
            SetStatusBits(PM_STATUS_OFFLINE);
            SetLastError(step.dwError);
            return FALSE;
        }
        DWORD cb = std::min<DWORD>(cbBuffer, static_cast<DWORD>(step.bytes.size()));
        std::copy(step.bytes.begin(), step.bytes.begin() + cb, pBuffer);
        *pcbRead = cb;
        return TRUE;
    }
    static std::unique_ptr<CCommon> Make(const char* pszName) { return std::make_unique<CScriptPort>(pszName); }
};

class Exchange : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterPortKind(kScriptKind, &CScriptPort::Make);
        std::lock_guard lock(g_script.mutex);
        g_script.reads.clear();
        g_script.writes.clear();
        g_script.bWriteFails = false;
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
