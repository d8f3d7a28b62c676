// A retry run that fails again, through the whole run on a scripted port: the failure
// box points at boot mode, and the run ends by opening the help page instead of
// another retry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "ScriptPort.h"
#include "config/ConfigFile.h"
#include "engine/Steps.h"
#include "engine/Thread.h"
#include "platform/WinError.h"
#include "port/ComConf.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "ui/Launch.h"
#include "ui/RecordingMessageBox.h"
#include "ui/StringTable.h"
#include "ui/Util.h"

namespace {

using ::testing::ElementsAre;

class CEventHost : public IDialogHost {
public:
    void SetCaption(const std::string&) override {}
    void SetControlText(int, const std::string&) override {}
    void SetBusyLayout(bool) override {}
    void EnableDialog(bool) override {}
    void RestoreAfterRun() override { Note("restore"); }
    void PostSelect() override { Note("select"); }
    void PostClose() override { Note("close"); }
    void PostRetry() override { Note("retry"); }
    std::vector<std::string> Events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

private:
    void Note(const char* psz) {
        std::lock_guard lock(m_mutex);
        m_events.push_back(psz);
    }
    std::mutex m_mutex;
    std::vector<std::string> m_events;
};

constexpr BYTE kTypeId = 0x22;

class RetryRun : public ::testing::Test {
protected:
    void SetUp() override {
        // The run stops and starts services: never those of the machine running the test.
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (m_root / "no-bus")).c_str(), 1);
        ::setenv("CUPS_SERVER", (m_root / "no-cups.sock").c_str(), 1);
        RegisterPortKind(kScriptKind, &CScriptPort::Make);
        g_script.Clear();
        theApp.Reset();
        ResetModelTable(ModelTable);
        ModelTable[kTypeId] = ModelEntry{"SCRIPTED", DK_FIRMWARE, IF_ALL, 0};
        UpdateDataEntry& fw = theApp.tables.FW[kTypeId];
        fw.cbData = 6000;
        fw.pData = std::make_unique<BYTE[]>(fw.cbData);
        fw.bVersion = 0x07;
        fw.bLoaded = TRUE;
        theApp.nTypeId = kTypeId;
        // A connection kind without a restart wait of its own stands in for a device.
        theApp.nPortKind = static_cast<int>(kScriptKind);
        theApp.szPortName = "SCRIPT3";
        SetMessageBox(&m_box);
        SetEngineHooks({nullptr, [this](const char* pszUrl) {
                            std::lock_guard lock(m_mutex);
                            m_urls.push_back(pszUrl);
                            return TRUE;
                        }});
    }
    void TearDown() override {
        WaitForWorker(INFINITE);
        SetEngineHooks({});
        SetMessageBox(nullptr);
        theApp.Reset();
        RegisterPortKind(kScriptKind, nullptr);
        ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
        ::unsetenv("CUPS_SERVER");
    }

    TempDir m_root;
    LogCapture m_log{m_root.Path()};
    CEventHost m_host;
    CRecordingMessageBox m_box;
    std::mutex m_mutex;
    std::vector<std::string> m_urls;
};

TEST_F(RetryRun, FailingAgainOpensTheHelpPage) {
    {
        std::lock_guard lock(g_script.mutex);
        g_script.writeSteps.push_back({});                              // first block taken
        g_script.writeSteps.push_back({0, true, ERROR_WRITE_FAULT});   // then the link fails
    }
    theApp.SetFlags(UF_RETRY_REQUESTED);  // as the first run left it
    ASSERT_TRUE(StartUpdateThread(m_host, true));
    WaitForWorker(INFINITE);

    EXPECT_EQ(theApp.nExitCode.load(), ERROR_WRITE_FAULT);
    ASSERT_EQ(m_box.Boxes().size(), 1u);
    EXPECT_EQ(m_box.Boxes()[0].text,
              LoadResString(IDS_FW_UPDATE_FAILED_BOOT_MODE) + "\nHelp page: " + SupportPageUrl(HELP_PAGE_BOOT_MODE) +
                  "\n\nErrorCode = [ 040501, 0000001D ]");
    EXPECT_THAT(m_host.Events(), ElementsAre("restore"));
    std::lock_guard lock(m_mutex);
    EXPECT_THAT(m_urls, ElementsAre(SupportPageUrl(HELP_PAGE_BOOT_MODE)));
    EXPECT_TRUE(theApp.TestFlags(UF_RETRY));
    EXPECT_TRUE(theApp.TestFlags(UF_RETRY_REQUESTED));
    EXPECT_TRUE(m_log.Contains("Create update thread for retrying...\r\n"));
    EXPECT_FALSE(m_log.Contains("Create update thread...\r\n"));
    EXPECT_TRUE(m_log.Contains("Enter update thread..."));
    EXPECT_TRUE(m_log.Contains("Open port [SCRIPT3]"));
}

TEST_F(RetryRun, SucceedingRetryRunRestoresTheDialog) {
    // Identification is skipped: the retry run sends at once, then verifies.
    {
        std::lock_guard lock(g_script.mutex);
        auto bytes = [](const PrinterCommand& c) { return std::vector<BYTE>(c.bytes.begin(), c.bytes.end()); };
        g_script.replies.push_back({bytes(STANDARD_COMMANDS.romId), {0x0E, 0xE7, 0xF0, 0x00}});
        g_script.replies.push_back({bytes(STANDARD_COMMANDS.fwVersion), {0x02, 'V', 'E', 'R', '2', '2', '0', '7', 0x00}});
    }
    ASSERT_TRUE(StartUpdateThread(m_host, true));
    WaitForWorker(INFINITE);

    EXPECT_EQ(theApp.nExitCode.load(), 0u);
    EXPECT_EQ(FwVersionText(), "VER2207");
    ASSERT_EQ(m_box.Boxes().size(), 1u);
    EXPECT_EQ(m_box.Boxes()[0].text, StrPrintf(LoadResString(IDS_FW_UPDATE_SUCCEEDED_VERSION).c_str(), "VER2207"));
    EXPECT_THAT(m_host.Events(), ElementsAre("restore"));
    std::lock_guard lock(m_mutex);
    EXPECT_TRUE(m_urls.empty());
    std::lock_guard scriptLock(g_script.mutex);
    ASSERT_GE(g_script.writes.size(), 2u);
    EXPECT_EQ(g_script.writes[0].size(), 4096u) << "no DEVICE ID before the transfer";
}

// The scripted port, on which the user cancels while the printer is asked for a font
// checksum (the query's write is the moment).
class CCancelAtChecksumPort : public CScriptPort {
public:
    using CScriptPort::CScriptPort;
    BOOL Write(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) override {
        BYTE query[FONT_CHECKSUM_LEN];
        BuildFontChecksumCommand(FONT_LETTER_KANJI, query);
        if (cbBuffer == sizeof query && std::equal(query, query + sizeof query, pBuffer)) {
            ++nQueries;
            theApp.SetFlags(UF_CANCEL);
        }
        return CScriptPort::Write(pBuffer, cbBuffer, pcbWritten, dwTimeout);
    }
    static std::unique_ptr<CCommon> Make(const char* pszName) {
        return std::make_unique<CCancelAtChecksumPort>(pszName);
    }
    static inline std::atomic<int> nQueries{0};
};

class CancelledChecksumCheck : public RetryRun {
protected:
    void SetUp() override {
        RetryRun::SetUp();
        RegisterPortKind(kScriptKind, &CCancelAtChecksumPort::Make);
        CCancelAtChecksumPort::nQueries = 0;
        ModelTable[kTypeId].dwDataKinds = DK_FIRMWARE | DK_KANJI_FONT;
        UpdateDataEntry& kf = theApp.tables.KF[kTypeId];
        kf.cbData = 100;
        kf.pData = std::make_unique<BYTE[]>(kf.cbData);
        kf.wChecksum = 0x1234;
        kf.bLoaded = TRUE;
        auto bytes = [](const PrinterCommand& c) { return std::vector<BYTE>(c.bytes.begin(), c.bytes.end()); };
        std::lock_guard lock(g_script.mutex);
        g_script.replies.push_back({bytes(STANDARD_COMMANDS.deviceId), {0x0E, 0xE2, 0xF2, 0x00}});
        g_script.replies.push_back({bytes(STANDARD_COMMANDS.romId), {0x0E, 0xE7, 0xF0, 0x00}});
        g_script.replies.push_back({bytes(STANDARD_COMMANDS.fwVersion), {0x02, 'V', 'E', 'R', '2', '2', '0', '7', 0x00}});
    }
};

TEST_F(CancelledChecksumCheck, EndsAsCancelledWithoutABox) {
    // Firmware current (the run had 1242 so far), and no firmware file at all.
    for (bool bFirmwareFile : {true, false}) {
        SCOPED_TRACE(bFirmwareFile ? "firmware current" : "no firmware file");
        theApp.tables.FW[kTypeId].bLoaded = bFirmwareFile ? TRUE : FALSE;
        ASSERT_TRUE(StartUpdateThread(m_host, false));
        WaitForWorker(INFINITE);

        EXPECT_GE(CCancelAtChecksumPort::nQueries.load(), 1);
        EXPECT_EQ(theApp.nExitCode.load(), ERROR_CANCELLED);
        EXPECT_EQ(ExitStatusFromResult(theApp.nExitCode.load()), 3);
        EXPECT_TRUE(m_box.Boxes().empty()) << m_box.Boxes().front().text;
        EXPECT_FALSE(theApp.TestFlags(UF_CANCEL));
        CCancelAtChecksumPort::nQueries = 0;
    }
    EXPECT_TRUE(m_log.Contains("***  Cancelled updating  ***"));
}

TEST(RestoreAfterInterrupt, PutsBackTheSerialDefaultsAndKeepsThemBack) {
    TempDir root;
    LogCapture log(root.Path());
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (root / "no-bus")).c_str(), 1);
    ::setenv("CUPS_SERVER", (root / "no-cups.sock").c_str(), 1);
    ResetDefaultCommConfigsForTest();
    theApp.Reset();
    theApp.nPortKind = static_cast<int>(PORT_KIND_SERIAL);
    auto record = std::make_shared<ComConfigRecord>(NewComConfigRecord("ttyS7"));
    ASSERT_TRUE(BuildCommDCB("9600,e,7,2", &record->ccChosen.dcb));
    theApp.pComConfig = record;
    auto current = [] {
        COMMCONFIG cc;
        EXPECT_TRUE(GetDefaultCommConfig("ttyS7", &cc));
        return cc;
    };

    RunComConfigStep(&SetupComConfig);  // the run applies the user's choice
    const COMMCONFIG chosen = current();
    EXPECT_EQ(CommConfigString(chosen.dcb), "9600,e,7,2");
    RunComConfigStep(&PushComConfigAndDefault);  // and switches to the safe one for a restart
    EXPECT_EQ(current(), SafeComConfig());

    RestoreMachineAfterInterrupt();
    EXPECT_EQ(current(), chosen);
    EXPECT_TRUE(theApp.TestFlags(UF_CANCEL));
    // The run, still going, changes nothing any more.
    RunComConfigStep(&PushComConfigAndDefault);
    EXPECT_EQ(current(), chosen);

    ResetRunPortForTest();
    ResetDefaultCommConfigsForTest();
    theApp.Reset();
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    ::unsetenv("CUPS_SERVER");
}

}  // namespace
