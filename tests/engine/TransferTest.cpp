// The block transfer and the USB port search, driven through the port service against a
// scripted driver and a scripted discovery.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/UtilUsb.h"
#include "ScriptPort.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "engine/Steps.h"
#include "engine/Thread.h"
#include "platform/Text.h"
#include "platform/WinError.h"
#include "ui/RecordingMessageBox.h"
#include "ui/Launch.h"
#include "ui/StringTable.h"
#include "ui/Util.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class CProgressHost : public IDialogHost {
public:
    void SetCaption(const std::string&) override {}
    void SetControlText(int nControlId, const std::string& text) override {
        std::lock_guard lock(m_mutex);
        if (nControlId == IDC_PROGRESS_TEXT) m_texts.push_back(text);
    }
    void SetBusyLayout(bool) override {}
    void EnableDialog(bool) override {}
    void RestoreAfterRun() override {}
    void PostSelect() override {}
    void PostClose() override {}
    void PostRetry() override {}
    std::vector<std::string> Texts() {
        std::lock_guard lock(m_mutex);
        return m_texts;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_texts;
};

std::vector<DWORD> WriteSizes() {
    std::lock_guard lock(g_script.mutex);
    std::vector<DWORD> out;
    for (const auto& w : g_script.writes) out.push_back(static_cast<DWORD>(w.size()));
    return out;
}

class Transfer : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterPortKind(kScriptKind, &CScriptPort::Make);
        g_script.Clear();
        ASSERT_TRUE(pfnOpenPort(0, kScriptKind, "SCRIPT2", &m_hSdk)) << GetLastError();
        theApp.Reset();
        theApp.nPortKind = static_cast<int>(PORT_KIND_USB);
        SetMessageBox(&m_box);
        m_entry.cbData = 10000;
        m_entry.pData = std::make_unique<BYTE[]>(m_entry.cbData);
        for (DWORD i = 0; i < m_entry.cbData; ++i) m_entry.pData[i] = static_cast<BYTE>(i * 7);
        m_entry.bLoaded = TRUE;
    }
    void TearDown() override {
        SetMessageBox(nullptr);
        theApp.Reset();
        if (m_hSdk != 0) pfnClosePort(m_hSdk, 0);
        RegisterPortKind(kScriptKind, nullptr);
    }
    void Writes(std::vector<WriteStep> steps) {
        std::lock_guard lock(g_script.mutex);
        for (auto& s : steps) g_script.writeSteps.push_back(s);
    }
    DWORD Send(BOOL bFirmware = TRUE) {
        DWORD cbTotal = 0;
        DWORD dwResult = SendData(bFirmware, m_entry, &m_host, m_hSdk, &cbTotal);
        EXPECT_EQ(cbTotal, m_entry.cbData);
        return dwResult;
    }
    std::vector<BYTE> Received() {
        std::lock_guard lock(g_script.mutex);
        std::vector<BYTE> out;
        for (const auto& w : g_script.writes) out.insert(out.end(), w.begin(), w.end());
        return out;
    }

    TempDir m_root;
    LogCapture m_log{m_root.Path()};  // the port layer's lines stay in the test's folder
    HSDK m_hSdk = 0;
    UpdateDataEntry m_entry;
    CProgressHost m_host;
    CRecordingMessageBox m_box;
};

TEST_F(Transfer, BlocksAndProgress) {
    EXPECT_EQ(Send(), ERROR_SUCCESS);
    EXPECT_THAT(WriteSizes(), ElementsAre(4096, 4096, 1808));
    EXPECT_THAT(m_host.Texts(), ElementsAre("Sending... [ 40%]", "Sending... [ 81%]", "Sending... [100%]"));
    EXPECT_EQ(Received(), std::vector<BYTE>(m_entry.pData.get(), m_entry.pData.get() + m_entry.cbData));
    EXPECT_THAT(m_box.Boxes(), IsEmpty());
}

TEST_F(Transfer, BusyWithNothingWrittenIsRepeated) {
    Writes({{0, true, ERROR_BUSY}, {0, true, ERROR_BUSY}});
    EXPECT_EQ(Send(), ERROR_SUCCESS);
    EXPECT_THAT(WriteSizes(), ElementsAre(4096, 4096, 1808));
    EXPECT_THAT(m_box.Boxes(), IsEmpty());
}

TEST_F(Transfer, PartialWriteContinuesWithTheRest) {
    Writes({{1000}});
    EXPECT_EQ(Send(), ERROR_SUCCESS);
    EXPECT_THAT(WriteSizes(), ElementsAre(1000, 4096, 4096, 808));
    EXPECT_THAT(m_host.Texts(),
                ElementsAre("Sending... [ 10%]", "Sending... [ 50%]", "Sending... [ 91%]", "Sending... [100%]"));
    EXPECT_EQ(Received(), std::vector<BYTE>(m_entry.pData.get(), m_entry.pData.get() + m_entry.cbData));
}

TEST_F(Transfer, WriteFailureOffersRetry) {
    Writes({{}, {0, true, ERROR_WRITE_FAULT}});
    m_box.QueueAnswer(IDRETRY);
    EXPECT_EQ(Send(), ERROR_WRITE_FAULT);
    ASSERT_EQ(m_box.Boxes().size(), 1u);
    EXPECT_EQ(m_box.Boxes()[0].text, LoadResString(IDS_FW_UPDATE_FAILED) + "\n\nErrorCode = [ 040501, 0000001D ]");
    EXPECT_EQ(m_box.Boxes()[0].dwStyle & MB_TYPEMASK, MB_RETRYCANCEL);
    EXPECT_TRUE(theApp.TestFlags(UF_RETRY_REQUESTED));
}

// A check changed nothing: its failure is told, never offered for a retry.
TEST_F(Transfer, FailureOfACheckOffersNoRetry) {
    theApp.SetFlags(UF_CHECK_ONLY);
    m_box.QueueAnswer(IDRETRY);
    ReportTransferError(ERROR_WRITE_FAULT, 0x040501);
    ASSERT_EQ(m_box.Boxes().size(), 1u);
    EXPECT_EQ(m_box.Boxes()[0].dwStyle & MB_TYPEMASK, MB_OK);
    EXPECT_FALSE(theApp.TestFlags(UF_RETRY_REQUESTED));
}

TEST_F(Transfer, WriteFailureInARetryRunPointsToBootMode) {
    theApp.SetFlags(UF_RETRY);
    Writes({{0, true, ERROR_WRITE_FAULT}});
    EXPECT_EQ(Send(), ERROR_WRITE_FAULT);
    ASSERT_EQ(m_box.Boxes().size(), 1u);
    EXPECT_EQ(m_box.Boxes()[0].text,
              LoadResString(IDS_FW_UPDATE_FAILED_BOOT_MODE) + "\nHelp page: " + SupportPageUrl(HELP_PAGE_BOOT_MODE) +
                  "\n\nErrorCode = [ 040501, 0000001D ]");
    EXPECT_EQ(m_box.Boxes()[0].dwStyle & MB_TYPEMASK, MB_OK);
    EXPECT_TRUE(theApp.TestFlags(UF_RETRY_REQUESTED));
}

TEST_F(Transfer, CancelEndsTheTransferAsCancelled) {
    theApp.SetFlags(UF_CANCEL);
    EXPECT_EQ(Send(), ERROR_CANCELLED);
    EXPECT_THAT(WriteSizes(), ElementsAre(4096));
    EXPECT_THAT(m_box.Boxes(), IsEmpty());
}

TEST_F(Transfer, SpecialFirstBlockAndItsPause) {
    theApp.nPortKind = static_cast<int>(PORT_KIND_LAN);
    m_entry.cbData = 1000;
    m_entry.cbFirstBlock[PORT_KIND_LAN] = 20;
    m_entry.dwFirstBlockWait[PORT_KIND_LAN] = 1200;
    EXPECT_EQ(Send(FALSE), ERROR_SUCCESS);
    EXPECT_THAT(WriteSizes(), ElementsAre(20, 980));
    // The pause weighs a tenth of the total: at most 9 % before the first bytes count.
    auto texts = m_host.Texts();
    ASSERT_GE(texts.size(), 3u);
    EXPECT_THAT(std::vector<std::string>(texts.end() - 3, texts.end()),
                ElementsAre("Sending... [  9%]", "Sending... [ 10%]", "Sending... [100%]"));
}

// Each progress text of a transfer comes while the engine names that transfer: its table
// and file, the bytes sent and the first-block pause as the percentage weighs it.
TEST_F(Transfer, TransferUnderWayIsNamedBeforeItsFirstProgressText) {
    struct NamingHost : CProgressHost {
        void SetControlText(int nControlId, const std::string& text) override {
            if (nControlId == IDC_PROGRESS_TEXT) seen.push_back(TransferUnderWay());
            CProgressHost::SetControlText(nControlId, text);
        }
        std::vector<TransferInfo> seen;  // the worker's own thread: no lock needed here
    };
    struct Case {
        UpdateTable UpdateTables::*pTable;
        BOOL bFirmware;
        int nPortKind;
        const char* pszTable;
        unsigned long long cbPauseWeight;
        DWORD dwPauseMs;
    };
    const Case cases[] = {
        {&UpdateTables::FW, TRUE, PORT_KIND_USB, "FW", 0, 0},
        {&UpdateTables::FW, TRUE, PORT_KIND_LAN, "FW", 100, 1200},
        {&UpdateTables::KF, FALSE, PORT_KIND_USB, "KF", 0, 0},
        {&UpdateTables::ZF, FALSE, PORT_KIND_USB, "ZF", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.pszTable) + " over kind " + std::to_string(c.nPortKind));
        g_script.Clear();
        theApp.nPortKind = c.nPortKind;
        UpdateDataEntry& entry = (theApp.tables.*c.pTable)[0x20];
        entry.cbData = 1000;
        entry.pData = std::make_unique<BYTE[]>(entry.cbData);
        entry.bLoaded = TRUE;
        entry.strFileName = std::string(c.pszTable) + "20SIM.bin";
        entry.cbFirstBlock[PORT_KIND_LAN] = 20;
        entry.dwFirstBlockWait[PORT_KIND_LAN] = 1200;
        NamingHost host;
        DWORD cbTotal = 0;
        EXPECT_EQ(SendData(c.bFirmware, entry, &host, m_hSdk, &cbTotal), ERROR_SUCCESS);
        ASSERT_FALSE(host.seen.empty());
        for (const TransferInfo& t : host.seen) {
            EXPECT_EQ(t.strTable, c.pszTable);
            EXPECT_EQ(t.strFile, entry.strFileName);
            EXPECT_EQ(t.cbTotal, 1000u);
            EXPECT_EQ(t.cbPauseWeight, c.cbPauseWeight);
            EXPECT_EQ(t.dwPauseMs, c.dwPauseMs);
        }
        EXPECT_EQ(TransferUnderWay().strFile, entry.strFileName);  // the one sent last, after it
    }
}

// The time left of an uncancellable wait is there only while the wait lives, and within
// its limit; a cancel's notice says the same.
TEST(UncancellableWait, TimeLeftOnlyWhileItLives) {
    EXPECT_FALSE(UncancellableWaitLeft().has_value());
    EXPECT_EQ(CancelWaitText(), "");
    {
        UncancellableWait storing("for the printer to restart", 30000);
        const std::optional<DWORD> dwLeft = UncancellableWaitLeft();
        ASSERT_TRUE(dwLeft.has_value());
        EXPECT_LE(*dwLeft, 30000u);
        EXPECT_GT(*dwLeft, 0u);
        const std::string notice = CancelWaitText();
        EXPECT_TRUE(notice.starts_with("waiting up to ") && notice.ends_with(" s for the printer to restart")) << notice;
    }
    EXPECT_FALSE(UncancellableWaitLeft().has_value());
}

TEST_F(Transfer, NoProgressForTenSeconds) {
    {
        std::lock_guard lock(g_script.mutex);
        g_script.bWriteFails = true;
        g_script.dwWriteError = ERROR_BUSY;
    }
    EXPECT_EQ(Send(), ERROR_TIMEOUT);
    ASSERT_EQ(m_box.Boxes().size(), 1u);
    EXPECT_EQ(m_box.Boxes()[0].text, LoadResString(IDS_FW_UPDATE_FAILED) + "\n\nErrorCode = [ 040502, 200005B4 ]");
}

// A USB discovery whose maker's printers follow a script, one list per call (the last
// list repeats).
class CScriptedUsb : public CUtilUsb {
public:
    void Script(std::vector<std::vector<std::string>> lists) {
        m_lists = std::move(lists);
        m_nCalls = 0;
    }
    int FindUsbPrinters(IPortList*, std::span<std::string>, std::span<std::string> names) override {
        auto lines = m_lists[std::min(m_nCalls++, m_lists.size() - 1)];
        std::sort(lines.begin(), lines.end());
        for (std::size_t i = 0; i < lines.size() && i < names.size(); ++i) names[i] = lines[i];
        return static_cast<int>(lines.size());
    }
    std::size_t m_nCalls = 0;

private:
    std::vector<std::vector<std::string>> m_lists;
};

TEST(FindUsbPortAgain, TakesTheNewNameOfARestartedPrinter) {
    std::string name = "USB001";
    CScriptedUsb usb;
    usb.Script({{"USB001"}});
    EXPECT_EQ(FindUsbPortAgain(&usb, &name), 1);  // nothing was kept yet
    EXPECT_EQ(name, "USB001");
    EXPECT_EQ(usb.ppSeenNames[0], "USB001");

    usb.Script({{"USB002"}});
    EXPECT_EQ(FindUsbPortAgain(&usb, &name), 1);
    EXPECT_EQ(name, "USB002");

    // Gone, nothing new at first: the search repeats until a new name shows.
    usb.Script({{"USB002"}, {"USB002"}, {"USB002", "USB004", "USB003"}});
    name = "USB009";
    EXPECT_EQ(FindUsbPortAgain(&usb, &name), 2);
    EXPECT_EQ(name, "USB003");
    EXPECT_EQ(usb.m_nCalls, 3u);
    EXPECT_EQ(usb.ppSeenNames[2], "USB004");

    std::string unchanged = "USB003";
    EXPECT_EQ(FindUsbPortAgain(nullptr, &unchanged), 0);
    EXPECT_EQ(unchanged, "USB003");
}

}  // namespace
