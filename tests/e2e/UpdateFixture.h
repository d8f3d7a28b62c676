#pragma once
// A whole update over LAN: the engine's worker threads, the port service with the LAN
// driver, and a simulated printer on a loopback address of its own. A test front end
// records every control text, post and message box.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/ConfigFile.h"
#include "engine/Kelvo.h"
#include "engine/Steps.h"
#include "engine/Thread.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/WinError.h"
#include "port/Globals.h"
#include "port/Icmp.h"
#include "port/Lan2.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"
#include "support/SimLan.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "ui/RecordingMessageBox.h"
#include "ui/Util.h"

// Everything the engine did to the front end, in order.
class CRecordingHost : public IDialogHost {
public:
    void SetCaption(const std::string& caption) override { Note("caption:" + caption); }
    void SetControlText(int nControlId, const std::string& text) override {
        Note(StrPrintf("text:%d:%s", nControlId, text.c_str()));
    }
    void SetBusyLayout(bool bBusy) override { Note(bBusy ? "busy:on" : "busy:off"); }
    void EnableDialog(bool bEnable) override { Note(bEnable ? "enable:on" : "enable:off"); }
    void RestoreAfterRun() override { Note("restore"); }
    void PostSelect() override { Note("post:select"); }
    void PostClose() override { Note("post:close"); }
    void PostRetry() override {
        Note("post:retry");
        m_bRetryPosted = true;
    }

    std::vector<std::string> Events() const {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    bool Has(const std::string& event) const {
        auto e = Events();
        return std::find(e.begin(), e.end(), event) != e.end();
    }
    // The progress texts shown, in order.
    std::vector<std::string> ProgressTexts() const {
        std::vector<std::string> out;
        const std::string prefix = StrPrintf("text:%d:", IDC_PROGRESS_TEXT);
        for (const std::string& e : Events()) {
            if (e.rfind(prefix, 0) == 0 && e.size() > prefix.size()) out.push_back(e.substr(prefix.size()));
        }
        return out;
    }
    std::atomic<bool> m_bRetryPosted{false};

private:
    void Note(std::string event) {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    mutable std::mutex m_mutex;
    std::vector<std::string> m_events;
};

// The LAN driver with a record of the block sizes the engine hands it.
class CRecordingLan : public CLan {
public:
    explicit CRecordingLan(const char* pszName) : CLan(pszName) {}
    BOOL Write(const BYTE* pBuffer, DWORD cbBuffer, DWORD* pcbWritten, DWORD dwTimeout) override {
        {
            std::lock_guard lock(s_mutex);
            s_writes.push_back(cbBuffer);
        }
        BOOL bResult = CLan::Write(pBuffer, cbBuffer, pcbWritten, dwTimeout);
        if (bResult && GetLastError() == ERROR_TIMEOUT) ++s_nTimedOut;
        return bResult;
    }
    // Writes that ran out of time (and reported the part that left).
    static int TimedOut() { return s_nTimedOut; }
    static std::vector<DWORD> Writes() {
        std::lock_guard lock(s_mutex);
        return s_writes;
    }
    static void Clear() {
        std::lock_guard lock(s_mutex);
        s_writes.clear();
        s_nTimedOut = 0;
    }
    static std::unique_ptr<CCommon> Make(const char* pszName) { return std::make_unique<CRecordingLan>(pszName); }

private:
    static inline std::mutex s_mutex;
    static inline std::vector<DWORD> s_writes;
    static inline std::atomic<int> s_nTimedOut{0};
};

inline std::string UniqueE2eAddress() {
    static std::atomic<int> n{0};
    int k = ++n;
    return "127.89." + std::to_string(::getpid() % 250 + 1) + "." + std::to_string(k % 250 + 1);
}

class UpdateFixture : public ::testing::Test {
protected:
    static constexpr BYTE kTypeId = 0x22;  // a model without a special first block

    void SetUp() override {
        if (!CIcmpEcho().Valid()) GTEST_SKIP() << "no ICMP echo socket here (ping_group_range, no CAP_NET_RAW)";
        std::filesystem::create_directories(m_root / "var/log");
        std::filesystem::create_directories(m_root / "work");
        ::setenv("KELVO_SYSROOT", m_root.Path().c_str(), 1);
        if (IsolateServices()) {
            // The run stops and starts services: never those of the machine running the test.
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (m_root / "no-system-bus")).c_str(), 1);
            ::setenv("CUPS_SERVER", (m_root / "no-cups.sock").c_str(), 1);
        }
        ASSERT_EQ(::chdir(std::string(m_root / "work").c_str()), 0);
        LogResetForTest();
        LogSetup(LOG_PROGRAM_MASK, LOG_PROGRAM_NAME);
        // The first open registers the built-in drivers over whatever came before; one
        // open of an unknown kind gets that done before the recording driver goes in.
        HSDK hWarm = 0;
        if (pfnOpenPort(0, 0x7F, "e2e-warm-up", &hWarm)) pfnClosePort(hWarm, 0);
        RegisterPortKind(PORT_KIND_LAN, &CRecordingLan::Make);
        CRecordingLan::Clear();
        theApp.Reset();
        ResetModelTable(ModelTable);
        SetModel(kTypeId, DK_FIRMWARE, 0);
        SetMessageBox(&m_box);
        SetSilentModeQuery([]() noexcept { return theApp.TestFlags(UF_SILENT); });
        SetEngineHooks({nullptr, [this](const char* pszUrl) {
                            std::lock_guard lock(m_urlMutex);
                            m_urls.push_back(pszUrl);
                            return TRUE;
                        }});
        SetFwVersionText("");
    }
    void TearDown() override {
        WaitForWorker(INFINITE);
        m_pPrinter.reset();
        SetMessageBox(nullptr);
        SetSilentModeQuery(nullptr);
        SetEngineHooks({});
        theApp.Reset();
        ::unsetenv("KELVO_LAN_PORTS");
        if (IsolateServices()) {
            ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
            ::unsetenv("CUPS_SERVER");
        }
        LogResetForTest();
        ::unsetenv("KELVO_SYSROOT");
    }

    // Suites that bring their own service stand-ins return false.
    virtual bool IsolateServices() const { return true; }

    void SetModel(BYTE bTypeId, DWORD dwKinds, DWORD dwOptions) {
        ModelTable[bTypeId] = ModelEntry{"SIM-" + std::to_string(bTypeId), dwKinds, IF_ALL, dwOptions};
    }

    // An update file in the work folder; returns what the printer will report for it.
    sim::MadeFile MakeFile(const std::string& kind, BYTE bTypeId, BYTE bRomId, DWORD cbSize, DWORD dwSeed = 1) {
        sim::UpdateFileRequest request;
        request.szKind = kind;
        request.bTypeId = bTypeId;
        request.bRomId = bRomId;
        request.cbSize = cbSize;
        request.dwSeed = dwSeed;
        request.szDir = m_root / "work";
        sim::MadeFile made;
        EXPECT_TRUE(sim::MakeUpdateFile(request, &made));
        return made;
    }

    void StartPrinter(const sim::PrinterState& state, const sim::Faults& faults = {}) {
        sim::Config config;
        config.state = state;
        config.faults = faults;
        m_pPrinter = StartLanPrinter(config, m_szAddress);
        ASSERT_TRUE(m_pPrinter);
        ::setenv("KELVO_LAN_PORTS", LanPortsOf(*m_pPrinter).c_str(), 1);
    }

    static sim::PrinterState Printer(BYTE bTypeId, BYTE bRomId) {
        sim::PrinterState state;
        state.bTypeId = bTypeId;
        state.bRomId = bRomId;
        return state;
    }

    // The initialisation thread, then one run (and the retry run when one is asked for).
    void RunInitialisation() {
        ASSERT_TRUE(StartInitializeThread(m_host));
        WaitForWorker(INFINITE);
        ASSERT_EQ(theApp.nExitCode.load(), 0u);
    }
    void RunUpdateOnce(bool bRetry = false) {
        theApp.nPortKind = static_cast<int>(PORT_KIND_LAN);
        theApp.szPortName = m_szAddress;
        ASSERT_TRUE(StartUpdateThread(m_host, bRetry));
        WaitForWorker(INFINITE);
    }
    void RunAll() {
        RunInitialisation();
        RunUpdateOnce();
        if (m_host.m_bRetryPosted) RunUpdateOnce(true);
    }

    DWORD Result() const { return theApp.nExitCode.load(); }
    std::string LogText() const {
        LogFlush();
        return TempDir::Read(LogFolder() + "/" + LOG_PROGRAM_NAME + ".log");
    }
    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> out;
        for (const auto& b : m_box.Boxes()) out.push_back(b.text);
        return out;
    }
    static std::string ErrorLine(DWORD dwLocation, DWORD dwError) {
        return StrPrintf("\n\nErrorCode = [ %06X, %08X ]", dwLocation, dwError);
    }

    // Names of the transcript entries of a kind, in order ("command" entries give their
    // command name, "transfer_end" entries their kind and result).
    std::vector<std::string> Conversation() const {
        std::vector<std::string> out;
        for (const sim::SimEvent& e : m_pPrinter->Transcript()) {
            if (e.szName == "command") out.push_back(e.Str("name"));
            if (e.szName == "transfer_end") out.push_back("transfer:" + e.Str("kind") + ":" + e.Str("result"));
            if (e.szName == "drop") out.push_back("drop");
            if (e.szName == "post_update") out.push_back("post_update");
        }
        return out;
    }
    std::vector<sim::SimEvent> Events(const std::string& name) const {
        std::vector<sim::SimEvent> out;
        for (const sim::SimEvent& e : m_pPrinter->Transcript()) {
            if (e.szName == name) out.push_back(e);
        }
        return out;
    }
    // Writes of the engine of at least cbMin bytes (the transfer blocks).
    static std::vector<DWORD> BlocksOf(DWORD cbFirst, DWORD cbTotal) {
        std::vector<DWORD> out;
        std::vector<DWORD> writes = CRecordingLan::Writes();
        auto it = std::find(writes.begin(), writes.end(), cbFirst);
        DWORD cbSum = 0;
        for (; it != writes.end() && cbSum < cbTotal; ++it) {
            out.push_back(*it);
            cbSum += *it;
        }
        return out;
    }
    static std::vector<DWORD> ExpectedBlocks(DWORD cbTotal) {
        std::vector<DWORD> out;
        for (DWORD cb = cbTotal; cb > 0; cb -= std::min<DWORD>(cb, 4096)) out.push_back(std::min<DWORD>(cb, 4096));
        return out;
    }

    TempDir m_root;
    std::string m_szAddress = UniqueE2eAddress();
    std::unique_ptr<sim::Printer> m_pPrinter;
    CRecordingHost m_host;
    CRecordingMessageBox m_box;
    std::mutex m_urlMutex;
    std::vector<std::string> m_urls;
};
