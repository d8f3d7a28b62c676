#include "ui/Launch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>

#include "platform/LastError.h"
#include "platform/Tick.h"
#include "support/LogCapture.h"

namespace {

// A stand-in for the desktop's opener, first in PATH: it writes its argument count and
// arguments to a file and ends with the exit code it is told.
class Launch : public ::testing::Test {
protected:
    void SetUp() override {
        m_oldPath = ::getenv("PATH") ? ::getenv("PATH") : "";
        std::filesystem::create_directories(m_dir / "bin");
        m_dir.Write("bin/xdg-open", "#!/bin/sh\necho \"$# $*\" > \"$KELVO_TEST_OUT\"\nexit \"${KELVO_TEST_EXIT:-0}\"\n");
        ::chmod((m_dir / "bin/xdg-open").c_str(), 0755);
        ::setenv("PATH", ((m_dir / "bin") + ":" + m_oldPath).c_str(), 1);
        ::setenv("KELVO_TEST_OUT", (m_dir / "out").c_str(), 1);
        ::unsetenv("SUDO_USER");
        ::unsetenv("PKEXEC_UID");
    }
    void TearDown() override {
        ::setenv("PATH", m_oldPath.c_str(), 1);
        for (const char* psz : {"KELVO_TEST_OUT", "KELVO_TEST_EXIT", "SUDO_USER", "PKEXEC_UID"}) ::unsetenv(psz);
    }
    std::string Out() const { return TempDir::Read(m_dir / "out"); }

    TempDir m_dir;
    LogCapture m_log{m_dir.Path()};
    std::string m_oldPath;
};

TEST_F(Launch, OpensTheSupportPage) {
    EXPECT_EQ(SupportPageUrl(HELP_PAGE_MAIN), "https://support.zaq-printers.example/firmup1/");
    EXPECT_EQ(LaunchUrl(SupportPageUrl(HELP_PAGE_BOOT_MODE).c_str()), TRUE);
    EXPECT_EQ(Out(), "1 https://support.zaq-printers.example/firmup2/\n");
    EXPECT_TRUE(m_log.Contains("[1] = CreateProcess [\"xdg-open\" \"https://support.zaq-printers.example/firmup2/\"]"));
    EXPECT_TRUE(m_log.Contains("CreateProcess success (non wait)"));
}

TEST_F(Launch, WithoutAnAddressOnlyTheOpenerRuns) {
    EXPECT_EQ(LaunchUrl(nullptr), TRUE);
    EXPECT_EQ(Out(), "0 \n");
}

TEST_F(Launch, AnAddressIsOneArgumentAndNoShellReadsIt) {
    const char* pszUrl = "https://x.example/a b;$(touch pwned)&c=\"d\"";
    EXPECT_EQ(LaunchUrl(pszUrl), TRUE);
    EXPECT_EQ(Out(), std::string("1 ") + pszUrl + "\n");
    EXPECT_FALSE(std::filesystem::exists(m_dir / "pwned"));
}

TEST_F(Launch, MissingOpenerFailsAndIsLogged) {
    ::setenv("PATH", (m_dir / "nothing-here").c_str(), 1);
    EXPECT_EQ(LaunchUrl("https://x.example/"), FALSE);
    EXPECT_EQ(GetLastError(), 2u);
    EXPECT_TRUE(m_log.Contains("CreateProcess error [xdg-open]"));
}

// An opener that never ends by itself (it keeps the browser in the foreground): the
// launch gives up waiting after LAUNCH_WAIT and leaves it running.
TEST_F(Launch, OpenerThatDoesNotEndDoesNotHoldTheCaller) {
    m_dir.Write("bin/xdg-open",
                "#!/bin/sh\necho started > \"$KELVO_TEST_OUT\"\n"
                "while [ ! -e \"$KELVO_TEST_OUT.release\" ]; do sleep 0.1; done\necho ended >> \"$KELVO_TEST_OUT\"\n");
    std::vector<std::pair<const char*, std::function<BOOL()>>> launches = {
        {"shell path", [] { return LaunchUrlByShell("https://x.example/h"); }}};
    if (::geteuid() == 0) {
        // Root acting for a desktop user takes the shell path from LaunchUrl itself.
        launches.push_back({"root for a user", [] {
                                ::setenv("SUDO_USER", "root", 1);
                                BOOL bOk = LaunchUrl("https://x.example/h");
                                ::unsetenv("SUDO_USER");
                                return bOk;
                            }});
    }
    for (auto& [pszName, launch] : launches) {
        SCOPED_TRACE(pszName);
        std::filesystem::remove(m_dir / "out.release");
        EXPECT_EQ(launch(), TRUE);
        EXPECT_EQ(Out(), "started\n");  // returned while the opener still ran
        EXPECT_TRUE(m_log.Contains("Process is still running (non wait)"));
        m_dir.Write("out.release", "");  // the opener may end now
        Deadline deadline(10000);
        while (Out() != "started\nended\n" && !deadline.Expired()) Sleep(20);
        EXPECT_EQ(Out(), "started\nended\n");
    }
}

TEST_F(Launch, OpenerArguments) {
    EXPECT_EQ(UrlOpenerArgs("u", ""), (std::vector<std::string>{"xdg-open", "u"}));
    EXPECT_EQ(UrlOpenerArgs(nullptr, ""), (std::vector<std::string>{"xdg-open"}));
    EXPECT_EQ(UrlOpenerArgs("u", "alice"), (std::vector<std::string>{"runuser", "-u", "alice", "--", "xdg-open", "u"}));
}

TEST_F(Launch, RootActingForAUserRunsTheOpenerAsThatUserAndWaits) {
    if (::geteuid() != 0) {
        ::setenv("SUDO_USER", "someone", 1);
        EXPECT_EQ(DesktopUserOfRoot(), "");  // not root: no one to act for
        GTEST_SKIP() << "needs root";
    }
    EXPECT_EQ(DesktopUserOfRoot(), "");
    ::setenv("PKEXEC_UID", "0", 1);
    EXPECT_EQ(DesktopUserOfRoot(), "root");
    ::unsetenv("PKEXEC_UID");
    ::setenv("SUDO_USER", "root", 1);

    EXPECT_EQ(LaunchUrl("https://x.example/p"), TRUE);
    EXPECT_EQ(Out(), "1 https://x.example/p\n");
    EXPECT_TRUE(m_log.Contains("[0] = CreateProcess [\"xdg-open\" \"https://x.example/p\"]"));
    EXPECT_TRUE(m_log.Contains("Process is done."));

    ::setenv("KELVO_TEST_EXIT", "3", 1);
    EXPECT_EQ(LaunchUrl("https://x.example/q"), FALSE);
    EXPECT_EQ(GetLastError(), 3u);
    EXPECT_TRUE(m_log.Contains("ShellExecuteEx error [3]"));
}

}  // namespace
