#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "config/ConfigFile.h"
#include "engine/CommandLine.h"
#include "engine/Kelvo.h"
#include "engine/Settings.h"
#include "platform/IniFile.h"
#include "platform/WinError.h"
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
    std::string LogText() const { return TempDir::Read(LogFolder() + "/Kelvo.log"); }
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

TEST_F(Startup, ConfigurationErrorFailsWithoutDialogOrWriteBack) {
    WriteConfig("1,\"a\",M,1\n");
    EXPECT_EQ(Run("/s"), 1);
    EXPECT_EQ(theApp.nExitCode.load(), ERROR_BAD_CONFIGURATION);
    EXPECT_EQ(m_frontEnd.m_nRuns, 0);
    EXPECT_FALSE(std::filesystem::exists(SettingsPath()));
    ASSERT_EQ(m_frontEnd.m_box.Boxes().size(), 1u);  // "/s" is not read yet: the box shows
    EXPECT_EQ(m_frontEnd.m_box.Boxes()[0].text,
              "Bad configuration file format. (line:1)\n\nErrorCode = [ 120301, 2000000B ]");
    std::string log = LogText();
    EXPECT_EQ(log.find("[[[ Launches F/W Update Program ]]]"), std::string::npos);
    EXPECT_NE(log.find("Result code [1610], exit status [1]"), std::string::npos);
}

TEST_F(Startup, MissingConfigurationFails) {
    EXPECT_EQ(Run(""), 1);
    EXPECT_EQ(m_frontEnd.m_nRuns, 0);
    ASSERT_EQ(m_frontEnd.m_box.Boxes().size(), 1u);
    EXPECT_EQ(m_frontEnd.m_box.Boxes()[0].text, "Can't open configuration file.\n\nErrorCode = [ 120601, 00000002 ]");
}

TEST_F(Startup, SecondInstanceRaisesTheFirstAndEndsWithZero) {
    WriteConfig("1,\"a\",M,1,0\n");
    // The first instance: the same lock held through another open file.
    int fd = ::open(InstanceLockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
    m_frontEnd.m_dwResult = 5;

    EXPECT_EQ(Run("/s"), 0);
    EXPECT_EQ(m_frontEnd.m_nRaises, 1);
    EXPECT_EQ(m_frontEnd.m_nRuns, 0);
    EXPECT_FALSE(std::filesystem::exists(SettingsPath()));
    EXPECT_NE(LogText().find("[[[ Launches F/W Update Program ]]]"), std::string::npos);
    EXPECT_EQ(LogText().find("[[[ Close Kelvo ]]]"), std::string::npos);

    ::close(fd);  // the first instance ends: the next start runs
    EXPECT_EQ(Run(""), 1);
    EXPECT_EQ(m_frontEnd.m_nRuns, 1);
}

TEST_F(Startup, LockThatCannotBeMadeIsAFailedStart) {
    WriteConfig("1,\"a\",M,1,0\n");
    m_dir.Write("run-file", "x");
    ::setenv("XDG_RUNTIME_DIR", (m_dir / "run-file").c_str(), 1);  // a file, not a folder
    EXPECT_EQ(Run(""), 1);
    EXPECT_EQ(m_frontEnd.m_nRaises, 0);
    EXPECT_EQ(m_frontEnd.m_nRuns, 0);
    EXPECT_NE(theApp.nExitCode.load(), 0u);
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
