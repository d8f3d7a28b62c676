#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "config/ConfigFile.h"
#include "engine/CommandLine.h"
#include "engine/Kelvo.h"
#include "engine/Settings.h"
#include "platform/IniFile.h"
#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/WinError.h"
#include "ui/StringTable.h"
#include "ui/RecordingMessageBox.h"
#include "support/LogCapture.h"

namespace {

struct TokenCase {
    const char* pszLine;
    bool bSilent;
    int nKind;
};

TEST(CommandLineTokens, Table) {
    const TokenCase cases[] = {
        {"", false, 0},
        {"/s", true, 0},
        {"/S usb", true, 0},
        {"\"Bluetooth\"", false, 1},
        {"USB Serial", false, 3},
        {"Serial USB", false, 0},
        {"-s ethernet", false, 2},
        {"\" \" Serial", false, 0},   // a blank quoted token ends the parse
        {"\"\" /s", false, 0},        // so does an empty one
        {"   /s    BLUETOOTH   ", true, 1},
        {"\"  /s \" \"serial\"", true, 3},  // quoted tokens are trimmed
        {"/s\tSerial", false, 0},     // only spaces split tokens
        {"\t/s Serial", true, 3},     // tabs are trimmed from a token
        {"\"Ether net\" Serial", false, 3},
        {"\"Serial", false, 3},       // an open quote runs to the end
        {"/sUSB", false, 0},
        {"\"USB\"Ethernet", false, 2},
    };
    for (const TokenCase& c : cases) {
        CommandLineOptions options = ParseCommandLine(c.pszLine);
        EXPECT_EQ(options.bSilent, c.bSilent) << c.pszLine;
        EXPECT_EQ(options.nInitialPortKind, c.nKind) << c.pszLine;
    }
}

TEST(CommandLineTokens, ArgumentVectorKeepsTheShellsWords) {
    const char* argv[] = {"/s", "Blue tooth", "", "Serial"};
    EXPECT_EQ(CommandLineFromArgs(4, argv), "/s \"Blue tooth\" \"\" Serial");
    CommandLineOptions options = ParseCommandLine(CommandLineFromArgs(4, argv));
    EXPECT_TRUE(options.bSilent);
    EXPECT_EQ(options.nInitialPortKind, 0);  // "Blue tooth" is no kind word; "" ends the parse
}

TEST(ExitStatus, Mapping) {
    const std::pair<DWORD, int> cases[] = {
        {0, 0}, {1242, 2}, {1223, 3}, {2, 1}, {1801, 1}, {0x2000000B, 1}, {1610, 1}, {0xFFFFFFFF, 1}, {256, 1},
    };
    for (auto [dwResult, nStatus] : cases) EXPECT_EQ(ExitStatusFromResult(dwResult), nStatus) << dwResult;
}

TEST(IniStore, ReadsWritesAndKeepsOtherValues) {
    TempDir dir;
    std::string path = dir / "deep/er/x.ini";
    CIniFile ini;
    ASSERT_TRUE(ini.Load(path));  // missing: empty
    EXPECT_FALSE(ini.Get("Section", "TargetName"));
    dir.Write("in.ini", "; comment\n[Other]\nA = 1\n[Section]\r\nIpAddr=0x10\nForceUpdate=abc\nBig=4294967296\n");
    ASSERT_TRUE(ini.Load(dir / "in.ini"));
    EXPECT_EQ(ini.Get("Other", "A"), "1");
    EXPECT_EQ(ini.GetDword("Section", "IpAddr"), 16u);
    EXPECT_FALSE(ini.GetDword("Section", "ForceUpdate"));
    EXPECT_FALSE(ini.GetDword("Section", "Big"));
    ini.SetDword("Section", "IpAddr", 3232235777u);
    ini.Set("Section", "TargetName", "printer one");
    ASSERT_TRUE(ini.Save(path));
    EXPECT_EQ(TempDir::Read(path),
              "[Other]\nA=1\n\n[Section]\nIpAddr=3232235777\nForceUpdate=abc\nBig=4294967296\nTargetName=printer one\n");
}

// A front end that records what the core asks of it.
class CFakeFrontEnd : public IFrontEnd {
public:
    int MessageBox(const std::string& text, const std::string& caption, DWORD dwStyle) override {
        return m_box.MessageBox(text, caption, dwStyle);
    }
    void RunMainWindow(CKelvoApp& app) override {
        ++m_nRuns;
        m_dwFlagsSeen = app.dwUpdateFlags.load();
        m_nKindSeen = app.nInitialPortKind;
        m_targetSeen = app.strTargetName;
        if (m_onRun) m_onRun(app);
        app.nExitCode = m_dwResult;
    }
    void RaiseFirstInstance() override { ++m_nRaises; }

    CRecordingMessageBox m_box;
    int m_nRuns = 0;
    int m_nRaises = 0;
    DWORD m_dwFlagsSeen = 0;
    int m_nKindSeen = -1;
    std::string m_targetSeen;
    DWORD m_dwResult = 0;
    std::function<void(CKelvoApp&)> m_onRun;
};

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("LC_ALL", "C", 1);
        ::setenv("XDG_CONFIG_HOME", (m_dir / "config").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (m_dir / "run").c_str(), 1);
        std::filesystem::create_directories(m_dir / "work");
        std::filesystem::create_directories(m_dir / "run");
        std::filesystem::create_directories(m_dir / "root/var/log");
        ::setenv("KELVO_SYSROOT", (m_dir / "root").c_str(), 1);
        LogResetForTest();
    }
    void TearDown() override {
        LogResetForTest();
        for (const char* psz : {"LC_ALL", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "KELVO_SYSROOT"}) ::unsetenv(psz);
    }
    std::string SettingsPath() const { return m_dir / "config/ZAQ/UpdateTool/kelvo.ini"; }
    std::string LogText() const {
        LogFlush();
        return TempDir::Read(LogFolder() + "/Kelvo.log");
    }
    void WriteConfig(const std::string& text) { m_dir.Write("work/config.ini", text); }
    int Run(const char* pszCommandLine) {
        ScopedChdir cwd(m_dir / "work");
        return RunKelvo(m_frontEnd, pszCommandLine, "kelvo");
    }

    TempDir m_dir;
    CFakeFrontEnd m_frontEnd;
};

TEST_F(Startup, FullRunWritesSettingsBackAndEndsWithTheResult) {
    WriteConfig("31,\"KV-T30\",M|K,IF_USB|IF_TCP,WIRELESS_LAN\n");
    std::filesystem::create_directories(m_dir / "config/ZAQ/UpdateTool");
    m_dir.Write("config/ZAQ/UpdateTool/kelvo.ini", "[Section]\nTargetName=lp0\nIpAddr=167772161\nForceUpdate=1\n");
    m_frontEnd.m_dwResult = ERROR_ALREADY_REGISTERED;
    m_frontEnd.m_onRun = [&](CKelvoApp& app) {
        EXPECT_EQ(ModelTable[31].pszModelName, "KV-T30");
        app.strTargetName = "changed by the dialog";
        m_dir.Write("work/KF1200A.bin", "kf");
        ScopedChdir cwd(m_dir / "work");
        EXPECT_TRUE(LoadDataFiles());
        EXPECT_TRUE(app.tables.KF[0x12].bLoaded);
    };

    EXPECT_EQ(Run("/s Serial"), 2);
    EXPECT_EQ(m_frontEnd.m_nRuns, 1);
    EXPECT_EQ(m_frontEnd.m_dwFlagsSeen, UF_FORCE_UPDATE | UF_SILENT);
    EXPECT_EQ(m_frontEnd.m_nKindSeen, PORT_KIND_SERIAL);
    EXPECT_EQ(m_frontEnd.m_targetSeen, "lp0");
    EXPECT_EQ(theApp.nExitCode.load(), ERROR_ALREADY_REGISTERED);
    EXPECT_FALSE(theApp.tables.KF[0x12].bLoaded);  // freed at the end
    EXPECT_FALSE(theApp.hMutex.Held());
    EXPECT_EQ(ModelTable[31].pszModelName, "");

    CIniFile ini;
    ASSERT_TRUE(ini.Load(SettingsPath()));
    EXPECT_EQ(ini.Get("Section", "TargetName"), "changed by the dialog");
    EXPECT_EQ(ini.GetDword("Section", "IpAddr"), 167772161u);
    EXPECT_EQ(ini.GetDword("Section", "ForceUpdate"), 1u);

    std::string log = LogText();
    std::size_t nLoad = log.find("Loading config file...");
    std::size_t nStart = log.find("[[[ Launches F/W Update Program ]]]");
    std::size_t nResult = log.find("Result code [1242], exit status [2]");
    std::size_t nClose = log.find("[[[ Close Kelvo ]]]");
    ASSERT_NE(nLoad, std::string::npos);
    ASSERT_NE(nStart, std::string::npos);
    ASSERT_NE(nResult, std::string::npos);
    ASSERT_NE(nClose, std::string::npos);
    EXPECT_LT(nLoad, nStart);
    EXPECT_LT(nStart, nResult);
    EXPECT_LT(nResult, nClose);
}

TEST_F(Startup, FirstStartCreatesTheSettingsWithDefaults) {
    WriteConfig("// no models\n");
    EXPECT_EQ(Run(""), 0);
    EXPECT_EQ(m_frontEnd.m_dwFlagsSeen, 0u);
    EXPECT_EQ(m_frontEnd.m_nKindSeen, PORT_KIND_USB);
    EXPECT_EQ(TempDir::Read(SettingsPath()), "[Section]\nTargetName=\nIpAddr=0\n");
}

TEST_F(Startup, ResultCodesBecomeExitStatuses) {
    WriteConfig("1,\"a\",M,1,0\n");
    for (auto [dwResult, nStatus] : {std::pair<DWORD, int>{0, 0}, {1223, 3}, {1801, 1}, {0x2000000B, 1}}) {
        m_frontEnd.m_dwResult = dwResult;
        EXPECT_EQ(Run(""), nStatus) << dwResult;
    }
}

// Silent mode counts from the first line: the loader's error is only logged, so that no
// box waits for an answer nobody gives.
TEST_F(Startup, ConfigurationErrorFailsWithoutDialogOrWriteBackAndSilentlyWithoutABox) {
    const std::string text = "Bad configuration file format. (line:1)\n\nErrorCode = [ 120301, 2000000B ]";
    for (const char* pszLine : {"", "/s", "Ethernet /S"}) {
        SCOPED_TRACE(pszLine);
        const bool bSilent = pszLine[0] != '\0';
        m_frontEnd.m_box.Clear();
        WriteConfig("1,\"a\",M,1\n");
        EXPECT_EQ(Run(pszLine), 1);
        EXPECT_EQ(theApp.nExitCode.load(), ERROR_BAD_CONFIGURATION);
        EXPECT_EQ(m_frontEnd.m_nRuns, 0);
        EXPECT_FALSE(std::filesystem::exists(SettingsPath()));
        std::string log = LogText();
        if (bSilent) {
            EXPECT_TRUE(m_frontEnd.m_box.Boxes().empty());
            EXPECT_NE(log.find("Showing message is skipped. [" + text + "]"), std::string::npos) << log;
        } else {
            ASSERT_EQ(m_frontEnd.m_box.Boxes().size(), 1u);
            EXPECT_EQ(m_frontEnd.m_box.Boxes()[0].text, text);
        }
        EXPECT_EQ(log.find("[[[ Launches F/W Update Program ]]]"), std::string::npos);
        EXPECT_NE(log.find("Result code [1610], exit status [1]"), std::string::npos);
    }
}

TEST_F(Startup, MissingConfigurationFails) {
    EXPECT_EQ(Run(""), 1);
    EXPECT_EQ(m_frontEnd.m_nRuns, 0);
    ASSERT_EQ(m_frontEnd.m_box.Boxes().size(), 1u);
    EXPECT_EQ(m_frontEnd.m_box.Boxes()[0].text, "Can't open configuration file.\n\nErrorCode = [ 120601, 00000002 ]");
}

// A second start raises the first window; silently it fails, so that an installer does
// not count an update that never ran.
TEST_F(Startup, SecondInstanceRaisesTheFirstAndEndsWithZeroOrSilentlyWith183) {
    WriteConfig("1,\"a\",M,1,0\n");
    // The first instance: the same lock held through another open file.
    CInstanceLock first;
    ASSERT_TRUE(first.Acquire(InstanceLockPath()));
    m_frontEnd.m_dwResult = 5;
    struct Case {
        const char* pszLine;
        int nStatus;
        DWORD dwResult;
    };
    // The first instance's record: a refused start adds its lines and never begins anew.
    const std::string running = "ZAQ firmware update log file\r\n[12/11 10:00(00.000)] [I] [0000 : 0001] : running\r\n";
    std::filesystem::create_directories(m_dir / "root/var/log/ZAQ/Logs");
    m_dir.Write("root/var/log/ZAQ/Logs/Kelvo.log", running);
    int nRaises = 0;
    for (const Case& c : {Case{"", 0, ERROR_SUCCESS}, Case{"/s", 1, ERROR_ALREADY_EXISTS}}) {
        SCOPED_TRACE(c.pszLine);
        EXPECT_EQ(Run(c.pszLine), c.nStatus);
        EXPECT_EQ(theApp.nExitCode.load(), c.dwResult);
        EXPECT_EQ(m_frontEnd.m_nRaises, ++nRaises);
        EXPECT_EQ(m_frontEnd.m_nRuns, 0);
        EXPECT_TRUE(m_frontEnd.m_box.Boxes().empty());
        EXPECT_FALSE(std::filesystem::exists(SettingsPath()));
        EXPECT_TRUE(LogText().starts_with(running)) << LogText();
        EXPECT_NE(LogText().find("[[[ Launches F/W Update Program ]]]"), std::string::npos);
        EXPECT_EQ(LogText().find("[[[ Close Kelvo ]]]"), std::string::npos);
    }

    first.Release();  // the first instance ends: the next start runs, in a file of its own
    EXPECT_EQ(Run(""), 1);
    EXPECT_EQ(m_frontEnd.m_nRuns, 1);
    EXPECT_EQ(LogText().find("running"), std::string::npos) << LogText();
    EXPECT_NE(LogText().find("[[[ Launches F/W Update Program ]]]"), std::string::npos);
}

TEST_F(Startup, LockThatCannotBeMadeIsAFailedStart) {
    WriteConfig("1,\"a\",M,1,0\n");
    m_dir.Write("run-file", "x");
    ::setenv("XDG_RUNTIME_DIR", (m_dir / "run-file").c_str(), 1);  // a file, not a folder
    EXPECT_EQ(Run(""), 1);
    EXPECT_EQ(m_frontEnd.m_nRaises, 0);
    EXPECT_EQ(m_frontEnd.m_nRuns, 0);
    EXPECT_NE(theApp.nExitCode.load(), 0u);
    ASSERT_EQ(m_frontEnd.m_box.Boxes().size(), 1u);
    EXPECT_NE(m_frontEnd.m_box.Boxes()[0].text.find("run-file/____ZAQ_FW_UPDATE____.lock cannot be opened."),
              std::string::npos)
        << m_frontEnd.m_box.Boxes()[0].text;
}

// A lock file this start cannot open (left by root in the user's folder, or not a file at
// all) says which file and why, in a box or, silently, in the log; root replaces it.
TEST_F(Startup, LockFileThatCannotBeOpenedIsNamedInTheMessage) {
    WriteConfig("1,\"a\",M,1,0\n");
    std::filesystem::create_directories(m_dir / "root/run/lock");
    struct Case {
        std::function<std::string()> make;  // makes the bad lock; gives its path
        DWORD dwError;
        DWORD dwLocation;
    };
    std::vector<Case> cases = {
        {[] { std::filesystem::create_directory(InstanceLockPath()); return InstanceLockPath(); }, ERROR_BAD_FILE_TYPE,
         LOC_INSTANCE_LOCK},
        {[&] {
             std::filesystem::create_symlink(m_dir / "elsewhere", InstanceLockPath());
             return InstanceLockPath();
         },
         ERROR_ACCESS_DENIED, LOC_INSTANCE_LOCK},
        {[] {
             EXPECT_EQ(::mkfifo(MachineLockPath().c_str(), 0644), 0);
             return MachineLockPath();
         },
         ERROR_BAD_FILE_TYPE, LOC_INSTANCE_LOCK},
        {[&] {
             m_dir.Write("other", "");
             EXPECT_EQ(::link((m_dir / "other").c_str(), MachineLockPath().c_str()), 0);
             return MachineLockPath();
         },
         ERROR_BAD_FILE_TYPE, LOC_INSTANCE_LOCK},
    };
    if (::geteuid() != 0) {
        // Root may open any file; for others a file of root's without read access stands
        // for the lock that "sudo -E kelvo" used to leave behind.
        cases.push_back({[] {
                             int fd = ::open(InstanceLockPath().c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0);
                             ::close(fd);
                             return InstanceLockPath();
                         },
                         ERROR_ACCESS_DENIED, LOC_INSTANCE_LOCK});
    }
    for (const char* pszLine : {"", "/s"}) {
        for (const Case& c : cases) {
            std::filesystem::remove(InstanceLockPath());
            std::filesystem::remove(MachineLockPath());
            m_frontEnd.m_box.Clear();
            const std::string path = c.make();
            SCOPED_TRACE(path + " " + pszLine);
            if (::geteuid() == 0) {
                // Root sets whatever is at a lock's name aside and takes a lock of its own:
                // nothing put there can hold its updates back.
                const int nRunsBefore = m_frontEnd.m_nRuns;
                Run(pszLine);
                EXPECT_EQ(m_frontEnd.m_nRuns, nRunsBefore + 1);
                struct stat st {};
                ASSERT_EQ(::lstat(path.c_str(), &st), 0);
                EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == 0) << st.st_mode;
                EXPECT_NE(LogText().find("set aside [" + path + "]"), std::string::npos) << LogText();
                continue;
            }
            EXPECT_EQ(Run(pszLine), 1);
            EXPECT_EQ(theApp.nExitCode.load(), c.dwError);
            EXPECT_EQ(m_frontEnd.m_nRuns, 0);
            EXPECT_EQ(m_frontEnd.m_nRaises, 0);
            const std::string text = StrPrintf(LoadResString(IDS_INSTANCE_LOCK_FAILED).c_str(), path.c_str()) +
                                     StrPrintf("\n\nErrorCode = [ %06X, %08X ]", c.dwLocation, c.dwError);
            if (pszLine[0] == '\0') {
                ASSERT_EQ(m_frontEnd.m_box.Boxes().size(), 1u);
                EXPECT_EQ(m_frontEnd.m_box.Boxes()[0].text, text);
            } else {
                EXPECT_TRUE(m_frontEnd.m_box.Boxes().empty());
                EXPECT_NE(LogText().find("Showing message is skipped. [" + text + "]"), std::string::npos);
            }
            EXPECT_FALSE(theApp.hMutex.Held());
        }
    }
}

// The machine's lock keeps updaters of different users (or root's) apart; its file can be
// taken by anyone whoever made it.
TEST_F(Startup, AnotherUpdaterOnTheMachineStopsTheStartWithAMessage) {
    WriteConfig("1,\"a\",M,1,0\n");
    std::filesystem::create_directories(m_dir / "root/run/lock");
    ::chmod((m_dir / "root/run/lock").c_str(), 01777);
    bool bHeldDuringTheRun = false;
    m_frontEnd.m_onRun = [&](CKelvoApp&) {
        CInstanceLock other;
        bHeldDuringTheRun = !other.Acquire(MachineLockPath(), false) && GetLastError() == ERROR_ALREADY_EXISTS;
    };
    EXPECT_EQ(Run(""), 0);
    EXPECT_TRUE(bHeldDuringTheRun);
    struct stat st {};
    ASSERT_EQ(::stat(MachineLockPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    CInstanceLock other;  // another user's updater
    ASSERT_TRUE(other.Acquire(MachineLockPath(), false));
    for (const char* pszLine : {"", "/s"}) {
        SCOPED_TRACE(pszLine);
        m_frontEnd.m_box.Clear();
        EXPECT_EQ(Run(pszLine), 1);
        EXPECT_EQ(theApp.nExitCode.load(), ERROR_ALREADY_EXISTS);
        EXPECT_EQ(m_frontEnd.m_nRaises, 0);  // its window is not this user's to raise
        EXPECT_EQ(m_frontEnd.m_nRuns, 1);
        const std::string text = LoadResString(IDS_OTHER_UPDATER_RUNNING) + "\n\nErrorCode = [ 010902, 200000B7 ]";
        if (pszLine[0] == '\0') {
            ASSERT_EQ(m_frontEnd.m_box.Boxes().size(), 1u);
            EXPECT_EQ(m_frontEnd.m_box.Boxes()[0].text, text);
        } else {
            EXPECT_TRUE(m_frontEnd.m_box.Boxes().empty());
            EXPECT_NE(LogText().find("Showing message is skipped. [" + text + "]"), std::string::npos);
        }
        // The user's own lock is let go again: a later start of this user is not refused.
        CInstanceLock mine;
        EXPECT_TRUE(mine.Acquire(InstanceLockPath()));
    }
}

TEST_F(Startup, CaptionNamesTheModel) {
    WriteConfig("31,\"KV-T30\",M,1,0\n");
    m_frontEnd.m_onRun = [&](CKelvoApp& app) {
        EXPECT_EQ(KelvoCaption(), "ZAQ Kelvo");
        app.nTypeId = 31;
        EXPECT_EQ(KelvoCaption(), "ZAQ Kelvo [ KV-T30 ]");
        ModelTable[31].pszModelName = std::string(80, 'N');
        EXPECT_EQ(KelvoCaption(), "ZAQ Kelvo [ " + std::string(51, 'N'));
    };
    Run("");
    EXPECT_EQ(m_frontEnd.m_nRuns, 1);
}

}  // namespace
