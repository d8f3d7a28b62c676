#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <vector>

#include "cli/CliSession.h"
#include "config/ConfigFile.h"
#include "log/Log.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"
#include "ui/StringTable.h"
#include "ui/Util.h"
#include "Pty.h"

namespace {

constexpr int kTypeId = 0x1F;

// Discovery that lists what the test gives it.
class CScriptedDiscovery : public CUtilPort {
public:
    explicit CScriptedDiscovery(std::vector<std::string> lines) : m_lines(std::move(lines)) {}
    int EnumPorts(IPortList* pList, std::span<std::string>) override {
        pList->Clear();
        for (const std::string& line : m_lines) pList->Append(line);
        return static_cast<int>(m_lines.size());
    }

private:
    std::vector<std::string> m_lines;
};

DWORD InitKinds(CCliSession& session) {
    return session.SetupConnectionKinds() ? ERROR_SUCCESS : ERROR_INVALID_PRINTER_NAME;
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("LC_ALL", "C", 1);
        theApp.Reset();
        ResetModelTable(ModelTable);
        ModelTable[kTypeId].pszModelName = "KV-T30";
        ModelTable[kTypeId].dwInterfaces = IF_TCP;
        theApp.nTypeId = kTypeId;
    }
    void TearDown() override {
        SetMessageBox(nullptr);
        theApp.Reset();
        ResetModelTable(ModelTable);
        ::unsetenv("LC_ALL");
    }

    // Runs the session as RunKelvo would, with the output on a pipe.
    CliReport Run(const CliOptions& options, CliWorkers workers, DiscoveryFactory discovery = {}, int fdIn = -1,
                  int fdInterrupt = -1, std::function<void()> onSecondInterrupt = {}) {
        if (fdIn < 0) fdIn = m_stdin.ReadEnd();
        CProgressView view(m_out.WriteEnd(), false);
        CCliSession session(options, std::move(workers), std::move(discovery), view, fdIn, m_out.WriteEnd(),
                            fdInterrupt);
        session.SetSecondInterruptAction(std::move(onSecondInterrupt));
        m_pSession = &session;
        SetMessageBox(&session);
        session.RunMainWindow(theApp);
        SetMessageBox(nullptr);
        m_pSession = nullptr;
        m_output += m_out.Drain();
        return session.Report();
    }
    static CliOptions Lan(std::string port = "127.0.0.2") {
        CliOptions options;
        options.nKind = PORT_KIND_LAN;
        options.strPort = std::move(port);
        return options;
    }

    TempDir m_root;
    LogCapture m_log{m_root.Path()};
    TestPipe m_out;
    TestPipe m_stdin;  // no terminal, nothing typed
    std::string m_output;
    CCliSession* m_pSession = nullptr;
};

TEST_F(SessionTest, KindIsTheOneAskedForWhenTheModelOffersItElseItsFirst) {
    const struct {
        DWORD dwInterfaces;
        int nAsked;  // -1: no --kind
        DWORD dwResult;
        int nKind;
        const char* pszMessage;
    } cases[] = {
        {IF_TCP, -1, 0, PORT_KIND_LAN, nullptr},
        {IF_USB | IF_COM, -1, 0, PORT_KIND_USB, nullptr},
        {IF_BT | IF_COM, -1, 0, PORT_KIND_BLUETOOTH, nullptr},
        {IF_USB | IF_COM, PORT_KIND_SERIAL, 0, PORT_KIND_SERIAL, nullptr},
        {IF_TCP, PORT_KIND_USB, ERROR_INVALID_PRINTER_NAME, -1,
         "Specified port is not supported.\n\nErrorCode = [ 050902, 20000490 ]"},
        {0, -1, ERROR_INVALID_PRINTER_NAME, -1, "No port is specified in configuration file.\n\nErrorCode = [ 050901, 20000490 ]"},
    };
    for (const auto& c : cases) {
        ModelTable[kTypeId].dwInterfaces = c.dwInterfaces;
        CliOptions options = Lan();
        if (c.nAsked >= 0) {
            options.nKind = c.nAsked;
        } else {
            options.nKind.reset();
        }
        int nRuns = 0;
        int nKindSeen = -1;
        std::string portSeen;
        CliReport report = Run(options, {InitKinds, [&](CCliSession&) -> DWORD {
                                             ++nRuns;
                                             nKindSeen = theApp.nPortKind;
                                             portSeen = theApp.szPortName;
                                             return ERROR_SUCCESS;
                                         }});
        EXPECT_EQ(theApp.nExitCode.load(), c.dwResult) << c.dwInterfaces;
        EXPECT_EQ(nRuns, c.dwResult == 0 ? 1 : 0) << c.dwInterfaces;
        if (c.dwResult == 0) {
            EXPECT_EQ(nKindSeen, c.nKind) << c.dwInterfaces;
            EXPECT_EQ(portSeen, "127.0.0.2");
            EXPECT_EQ(report.strKind, PortKindWord(c.nKind));
            EXPECT_EQ(report.strModel, "KV-T30");
            EXPECT_EQ(report.nTypeId, kTypeId);
            EXPECT_TRUE(report.messages.empty());
        } else {
            ASSERT_EQ(report.messages.size(), 1u) << c.dwInterfaces;
            EXPECT_EQ(report.messages[0], c.pszMessage);
            EXPECT_NE(m_output.find(std::string("ZAQ Kelvo: ") + c.pszMessage), std::string::npos) << m_output;
        }
    }
}

TEST_F(SessionTest, PortComesFromTheOptionOrFromExactlyOneDiscoveredPrinter) {
    const std::string lineA = "192.168.10.7\t [\"Counter 2\", 02:4B:56:AB:CD:EF]";
    const std::string lineB = "192.168.10.8\t [\"Back office\", 02:4B:56:AB:CD:F0]";
    const struct {
        const char* pszPort;
        bool bHasDiscovery;
        std::vector<std::string> lines;
        DWORD dwResult;
        const char* pszPortRun;  // null: no run
        std::vector<std::string> messageParts;
    } cases[] = {
        {"10.0.0.9", true, {lineA, lineB}, 0, "10.0.0.9", {}},
        {"", true, {lineA}, 0, "192.168.10.7", {}},
        {"", true, {}, ERROR_NO_PORT_FOUND, nullptr, {"No port or printer found.\n\nErrorCode = [ 070401, 200010DF ]"}},
        {"", true, {lineA, lineB}, ERROR_INVALID_PARAMETER, nullptr, {"2 printers found; name one with --port:\n" + lineA + "\n" + lineB}},
        {"", false, {}, ERROR_NO_PORT_FOUND, nullptr, {"cannot search for Ethernet printers", "No port or printer found."}},
    };
    for (const auto& c : cases) {
        int nSearches = 0;
        DiscoveryFactory discovery = [&](int nKind) -> std::unique_ptr<CUtilPort> {
            EXPECT_EQ(nKind, PORT_KIND_LAN);
            ++nSearches;
            if (!c.bHasDiscovery) return nullptr;
            return std::make_unique<CScriptedDiscovery>(c.lines);
        };
        std::string portRun;
        int nRuns = 0;
        CliReport report = Run(Lan(c.pszPort), {InitKinds, [&](CCliSession&) -> DWORD {
                                                    ++nRuns;
                                                    portRun = theApp.szPortName;
                                                    return ERROR_SUCCESS;
                                                }},
                               discovery);
        EXPECT_EQ(theApp.nExitCode.load(), c.dwResult) << c.pszPort << c.lines.size();
        EXPECT_EQ(nSearches, c.pszPort[0] != '\0' ? 0 : 1);
        EXPECT_EQ(nRuns, c.pszPortRun != nullptr ? 1 : 0);
        if (c.pszPortRun != nullptr) {
            EXPECT_EQ(portRun, c.pszPortRun);
            EXPECT_EQ(report.strPort, c.pszPortRun);
        }
        std::string all;
        for (const std::string& m : report.messages) all += m + "|";
        for (const std::string& part : c.messageParts) EXPECT_NE(all.find(part), std::string::npos) << all;
        if (c.messageParts.empty()) {
            EXPECT_TRUE(report.messages.empty()) << all;
        }
    }
}

// A first run whose transfer fails with the prompt, as the engine's, and a retry run.
struct RetryScript {
    std::atomic<int> nRuns{0};
    std::vector<DWORD> flagsAtStart;
    DWORD dwRetryResult = ERROR_SUCCESS;
    bool bRetryAsksAgain = false;

    DWORD operator()(CCliSession& session) {
        ++nRuns;
        flagsAtStart.push_back(theApp.dwUpdateFlags.load());
        if (!theApp.TestFlags(UF_RETRY) || bRetryAsksAgain) {
            int nAnswer = ShowErrorEx(MB_RETRYCANCEL, 0x040501, WSAECONNRESET, IDCANCEL, "%s",
                                      LoadResString(IDS_FW_UPDATE_FAILED).c_str());
            if (nAnswer == IDRETRY) {
                theApp.SetFlags(UF_RETRY_REQUESTED);
                session.PostRetry();
            }
            return WSAECONNRESET;
        }
        return dwRetryResult;
    }
};

TEST_F(SessionTest, FailurePromptIsAnsweredByYesByTheTerminalOrSilently) {
    const struct {
        bool bYes;
        const char* pszTyped;  // null: no terminal
        int nRuns;
        DWORD dwResult;
    } cases[] = {
        {false, nullptr, 1, WSAECONNRESET},  // no one to ask: Cancel
        {true, nullptr, 2, ERROR_SUCCESS},
        {false, "r\n", 2, ERROR_SUCCESS},
        {false, "x\nc\n", 1, WSAECONNRESET},  // asked again until an offered answer comes
        {true, "c\n", 2, ERROR_SUCCESS},     // --yes answers before the terminal is asked
    };
    for (const auto& c : cases) {
        TestPty pty;
        ASSERT_TRUE(pty.Ok());
        if (c.pszTyped != nullptr) pty.Type(c.pszTyped);
        CliOptions options = Lan();
        options.bYes = c.bYes;
        RetryScript script;
        CliReport report = Run(options, {InitKinds, std::ref(script)}, {}, c.pszTyped != nullptr ? pty.Terminal() : -1);
        EXPECT_EQ(script.nRuns.load(), c.nRuns) << c.bYes << (c.pszTyped ? c.pszTyped : "-");
        EXPECT_EQ(theApp.nExitCode.load(), c.dwResult);
        EXPECT_EQ(report.bRetryRun, c.nRuns == 2);
        if (c.nRuns == 2) {
            EXPECT_EQ(script.flagsAtStart[1] & (UF_RETRY | UF_RETRY_REQUESTED), UF_RETRY);
        }
        EXPECT_NE(m_output.find("Attempt to update firmware failed."), std::string::npos);
        EXPECT_NE(m_output.find("ErrorCode = [ 040501, 00002746 ]"), std::string::npos);
        m_output.clear();
    }
    EXPECT_TRUE(m_log.Contains("Create update thread for retrying..."));
}

TEST_F(SessionTest, YesAnswersRetryOnlyOnceAndOneRetryRunAtMost) {
    CliOptions options = Lan();
    options.bYes = true;
    RetryScript script;
    script.bRetryAsksAgain = true;  // a retry run that would ask for yet another
    Run(options, {InitKinds, std::ref(script)});
    EXPECT_EQ(script.nRuns.load(), 2);
    EXPECT_EQ(theApp.nExitCode.load(), WSAECONNRESET);
    EXPECT_NE(m_output.find("Retry (--yes)"), std::string::npos);
}

TEST_F(SessionTest, InterruptCancelsTheRunningUpdate) {
    TestPipe interrupt;
    bool bCancelSeen = false;
    Run(Lan(), {InitKinds, [&](CCliSession&) -> DWORD {
                    (void)!::write(interrupt.WriteEnd(), "i", 1);  // the user presses Ctrl+C
                    // The engine looks at the flag in its loops; so does this one.
                    Deadline deadline(10000);
                    while (!deadline.Expired() && !theApp.TestFlags(UF_CANCEL)) Sleep(5);
                    bCancelSeen = theApp.TestFlags(UF_CANCEL);
                    return bCancelSeen ? ERROR_CANCELLED : ERROR_SUCCESS;
                }},
        {}, -1, interrupt.ReadEnd());
    EXPECT_TRUE(bCancelSeen);
    EXPECT_EQ(theApp.nExitCode.load(), ERROR_CANCELLED);
    EXPECT_NE(m_output.find("Cancelling..."), std::string::npos);
    EXPECT_TRUE(m_log.Contains("Interrupted by the user [1]"));
}

TEST_F(SessionTest, FirstInterruptSaysWhatItWaitsForTheSecondRestoresThenQuits) {
    TestPipe interrupt;
    std::mutex mutex;
    std::vector<std::string> order;
    auto note = [&](const char* psz) {
        std::lock_guard lock(mutex);
        order.push_back(psz);
    };
    std::atomic<bool> bQuit{false};
    CliWorkers workers{InitKinds, [&](CCliSession&) -> DWORD {
                           (void)!::write(interrupt.WriteEnd(), "i", 1);
                           Deadline deadline(10000);
                           while (!deadline.Expired() && !theApp.TestFlags(UF_CANCEL)) Sleep(5);
                           // The run sits out a wait that a cancel does not cut short; the
                           // user presses Ctrl+C once more.
                           (void)!::write(interrupt.WriteEnd(), "i", 1);
                           while (!deadline.Expired() && !bQuit) Sleep(5);
                           note("run ends");
                           return ERROR_CANCELLED;
                       }};
    workers.pfnCancelWait = [] { return std::string("waiting up to 9 s for the printer to restart"); };
    workers.pfnRestoreMachine = [&] { note("restore"); };
    Run(Lan(), std::move(workers), {}, -1, interrupt.ReadEnd(), [&] {
        note("quit");
        bQuit = true;
    });
    EXPECT_EQ(order, (std::vector<std::string>{"restore", "quit", "run ends"}));
    EXPECT_NE(m_output.find("Cancelling... waiting up to 9 s for the printer to restart. Interrupt again to quit "
                            "sooner.\n"),
              std::string::npos)
        << m_output;
    EXPECT_NE(m_output.find("Quitting: starting again the services the update stopped and restoring the serial "
                            "defaults (a few seconds at most)...\n"),
              std::string::npos)
        << m_output;
    EXPECT_TRUE(m_log.Contains("Interrupted by the user [2]"));
}

TEST_F(SessionTest, InterruptBeforeTheRunStartsNoRun) {
    TestPipe interrupt;
    int nRuns = 0;
    Run(Lan(), {[&](CCliSession& session) -> DWORD {
                    (void)!::write(interrupt.WriteEnd(), "i", 1);
                    // The main thread sees it before this ends or right after; either way
                    // the choice that follows must not start a run.
                    return InitKinds(session);
                },
                [&](CCliSession&) -> DWORD {
                    ++nRuns;
                    return ERROR_SUCCESS;
                }},
        {}, -1, interrupt.ReadEnd());
    EXPECT_EQ(nRuns, 0);
    EXPECT_EQ(theApp.nExitCode.load(), ERROR_CANCELLED);
}

TEST_F(SessionTest, TransfersAreReportedByTheFileKindBeingSent) {
    for (bool bFirmware : {true, false}) {
        theApp.tables.KF[kTypeId].bLoaded = TRUE;
        theApp.tables.KF[kTypeId].strFileName = "KF1FSIM.bin";
        theApp.tables.KF[kTypeId].cbData = 10020;
        theApp.tables.FW[kTypeId].bLoaded = TRUE;
        theApp.tables.FW[kTypeId].strFileName = "FW1F07SIM.bin";
        theApp.tables.FW[kTypeId].cbData = 30024;
        CliWorkers workers{InitKinds, [&](CCliSession& host) -> DWORD {
                                           if (!bFirmware) theApp.SetFlags(UF_NO_FW_UPDATE);
                                           host.SetControlText(IDC_STATUS_TEXT, LoadResString(IDS_PREPARING));
                                           host.SetControlText(IDC_PROGRESS_TEXT, "");
                                           if (bFirmware) {
                                               host.SetControlText(IDC_PROGRESS_TEXT, "Sending... [  0%]");
                                               host.SetControlText(IDC_PROGRESS_TEXT, "Sending... [100%]");
                                               host.SetControlText(IDC_PROGRESS_TEXT, "Waiting... [ 20%]");
                                               host.SetControlText(IDC_PROGRESS_TEXT, "Waiting... [ 50%]");
                                               host.SetControlText(IDC_PROGRESS_TEXT, "Waiting... [100%]");
                                           }
                                           theApp.pCurrentEntry = &theApp.tables.KF[kTypeId];
                                           host.SetControlText(IDC_PROGRESS_TEXT, "");
                                           host.SetControlText(IDC_PROGRESS_TEXT, "Sending... [ 40%]");
                                           host.SetControlText(IDC_PROGRESS_TEXT, "Sending... [100%]");
                                           return ERROR_SUCCESS;
                                       }};
        workers.pfnWaitLeftMs = [] { return DWORD{12000}; };
        CliReport report = Run(Lan(), workers);
        EXPECT_EQ(report.sent, bFirmware ? (std::vector<std::string>{"FW", "KF"}) : (std::vector<std::string>{"KF"}));
        EXPECT_NE(m_output.find("Preparing for update...\n"), std::string::npos);
        // Each transfer is a step named by its kind and file, counted in bytes sent (a
        // data kind's download header with them); the printer's check of the data follows.
        EXPECT_NE(m_output.find("Font data KF1FSIM.bin\n  40%  4,008 of 10,020 bytes sent"), std::string::npos) << m_output;
        EXPECT_NE(m_output.find("\n  100%  10,020 of 10,020 bytes sent\nChecking the font data\n"), std::string::npos)
            << m_output;
        EXPECT_EQ(m_output.find("Sending..."), std::string::npos) << m_output;
        // The summary gives each file's own size.
        if (bFirmware) {
            EXPECT_NE(m_output.find("Firmware FW1F07SIM.bin\n  0%  0 of 30,024 bytes sent"), std::string::npos) << m_output;
            EXPECT_NE(m_output.find("Waiting for the printer to restart\n  40%, at most 12 s left\n  100%\n"
                                    "Checking the new firmware\n  100%\n"),
                      std::string::npos)
                << m_output;
            EXPECT_NE(m_output.find("Sent: FW1F07SIM.bin (30,024 bytes), KF1FSIM.bin (10,000 bytes).\n"),
                      std::string::npos)
                << m_output;
        } else {
            EXPECT_NE(m_output.find("Sent: KF1FSIM.bin (10,000 bytes).\n"), std::string::npos) << m_output;
        }
        theApp.Reset();
        theApp.nTypeId = kTypeId;
        m_output.clear();
    }
}

TEST_F(SessionTest, FirmwareVersionsBeforeAndAfterComeFromWhatTheEngineRead) {
    const struct {
        bool bSendsFirmware;
        const char* pszReadBefore;  // version text known before any transfer
        const char* pszReadAfter;   // known at the end
        DWORD dwResult;
        const char* pszBefore;
        const char* pszAfter;
        bool bCheck = false;
    } cases[] = {
        {true, "", "VER2207", ERROR_SUCCESS, "", "VER2207"},
        {true, "", "", 1460, "", ""},                    // failed before the version was read
        {false, "", "VER2205", ERROR_ALREADY_REGISTERED, "VER2205", "VER2205"},
        {false, "", "VER2205", ERROR_SUCCESS, "VER2205", "VER2205"},  // only data was sent
        {false, "", "", 1003, "", ""},
        // A check restarts nothing: no "after", whatever it found.
        {false, "", "VER2205", ERROR_ALREADY_REGISTERED, "VER2205", "", true},
        {false, "", "VER2205", ERROR_SUCCESS, "VER2205", "", true},
    };
    for (const auto& c : cases) {
        theApp.Reset();
        theApp.nTypeId = kTypeId;
        std::string version = c.pszReadBefore;
        CliWorkers workers{InitKinds, [&](CCliSession& host) -> DWORD {
                               if (!c.bSendsFirmware) theApp.SetFlags(UF_NO_FW_UPDATE);
                               if (c.bSendsFirmware) host.SetControlText(IDC_PROGRESS_TEXT, "Sending... [ 10%]");
                               version = c.pszReadAfter;
                               return c.dwResult;
                           },
                           [&] { return version; }, [] { return std::vector<BYTE>{0x05}; }};
        CliOptions options = Lan();
        options.bCheck = c.bCheck;
        CliReport report = Run(options, workers);
        EXPECT_EQ(report.strFwBefore, c.pszBefore) << c.bSendsFirmware << c.dwResult;
        EXPECT_EQ(report.strFwAfter, c.pszAfter) << c.bSendsFirmware << c.dwResult;
        if (c.bCheck) {
            EXPECT_TRUE(report.romIdAfter.empty()) << c.dwResult;
        }
    }
}

TEST_F(SessionTest, HelpPageIsShownAsItsAddress) {
    TestPipe out;
    CProgressView view(out.WriteEnd(), false);
    CCliSession session(Lan(), {}, {}, view, m_stdin.ReadEnd(), out.WriteEnd());
    EXPECT_TRUE(session.ShowHelpPage("https://support.zaq-printers.example/firmup2/"));
    EXPECT_EQ(out.Drain(), "For details see https://support.zaq-printers.example/firmup2/\n");
}

TEST_F(SessionTest, WarningThatAsksTheUserToActWaitsForEnterOnATerminal) {
    TestPty pty;
    ASSERT_TRUE(pty.Ok());
    int nAnswer = -1;
    bool bTypedLineLeft = true;
    Run(Lan(), {InitKinds, [&](CCliSession&) -> DWORD {
                    pty.Type("\n");
                    nAnswer = ShowMessage(MB_ICONWARNING, 0, "%s", LoadResString(IDS_POWER_ON_PROMPT).c_str());
                    pollfd p{pty.Terminal(), POLLIN, 0};
                    bTypedLineLeft = ::poll(&p, 1, 0) > 0;
                    return ERROR_SUCCESS;
                }},
        {}, pty.Terminal());
    EXPECT_EQ(nAnswer, IDOK);
    EXPECT_FALSE(bTypedLineLeft);  // the Enter was read: the box waited for it
    EXPECT_NE(m_output.find("Press Enter to continue."), std::string::npos);
}

TEST_F(SessionTest, ForceIsSeenByTheRunAsForceUpdate) {
    for (bool bForce : {false, true}) {
        theApp.Reset();
        theApp.nTypeId = kTypeId;
        CliOptions options = Lan();
        options.bForce = bForce;
        bool bSeen = !bForce;
        Run(options, {InitKinds, [&](CCliSession&) -> DWORD {
                          bSeen = theApp.TestFlags(UF_FORCE_UPDATE);
                          return ERROR_SUCCESS;
                      }});
        EXPECT_EQ(bSeen, bForce);
    }
}

TEST_F(SessionTest, SecondInstanceIsReported) {
    TestPipe out;
    CProgressView view(out.WriteEnd(), false);
    CCliSession session(Lan(), {}, {}, view, m_stdin.ReadEnd(), out.WriteEnd());
    EXPECT_FALSE(session.SawOtherInstance());
    session.RaiseFirstInstance();
    EXPECT_TRUE(session.SawOtherInstance());
    EXPECT_EQ(out.Drain(), "Another Kelvo update is running on this machine.\n");
}

}  // namespace
