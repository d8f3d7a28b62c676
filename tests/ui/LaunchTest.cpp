#include "ui/Launch.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>

#include "platform/LastError.h"
#include "platform/Tick.h"
#include "support/LogCapture.h"

namespace {

// A stand-in for the desktop's opener in the system folders of a test root: it writes its
// argument count and arguments, and its environment, to files and ends with the exit
// code of a file (0 without one). Another one, first in PATH, must never run. The paths
// are written into the scripts: as root the opener gets no variable of the test.
class Launch : public ::testing::Test {
protected:
    void SetUp() override {
        m_oldPath = ::getenv("PATH") ? ::getenv("PATH") : "";
        for (const char* pszDir : {"usr/bin", "usr/sbin", "path"}) std::filesystem::create_directories(m_dir / pszDir);
        WriteOpener("echo \"$# $*\" > " + Out_() + "\nenv > " + (m_dir / "env") + "\nexit \"$(cat " + (m_dir / "exit") +
                    " 2>/dev/null || echo 0)\"\n");
        WriteProgram("path/xdg-open", "echo decoy > " + Out_() + "\n");
        ::setenv("PATH", ((m_dir / "path") + ":" + m_oldPath).c_str(), 1);
        // runuser is the system's, started from the test root (a script, never a link: a
        // test that writes the root's file must not write the system's).
        for (const char* pszRunuser : {"/usr/sbin/runuser", "/sbin/runuser"}) {
            if (std::filesystem::exists(pszRunuser)) {
                WriteProgram("usr/sbin/runuser", std::string("exec ") + pszRunuser + " \"$@\"\n");
                break;
            }
        }
        ::unsetenv("SUDO_USER");
        ::unsetenv("PKEXEC_UID");
    }
    void TearDown() override {
        ::setenv("PATH", m_oldPath.c_str(), 1);
        for (const char* psz : {"SUDO_USER", "PKEXEC_UID"}) ::unsetenv(psz);
    }
    void WriteProgram(const std::string& rel, const std::string& body) const {
        m_dir.Write(rel, "#!/bin/sh\n" + body);
        ::chmod((m_dir / rel).c_str(), 0755);
    }
    void WriteOpener(const std::string& body) const { WriteProgram("usr/bin/xdg-open", body); }
    std::string Out_() const { return m_dir / "out"; }
    std::string Out() const { return TempDir::Read(m_dir / "out"); }
    std::string Opener() const { return m_dir / "usr/bin/xdg-open"; }

    TempDir m_dir;
    LogCapture m_log{m_dir.Path()};  // m_dir is the system root
    std::string m_oldPath;
};

TEST_F(Launch, OpensTheSupportPage) {
    EXPECT_EQ(SupportPageUrl(HELP_PAGE_MAIN), "https://support.zaq-printers.example/firmup1/");
    EXPECT_EQ(LaunchUrl(SupportPageUrl(HELP_PAGE_BOOT_MODE).c_str()), TRUE);
    EXPECT_EQ(Out(), "1 https://support.zaq-printers.example/firmup2/\n");
    EXPECT_TRUE(m_log.Contains("[1] = CreateProcess [\"" + Opener() + "\" \"https://support.zaq-printers.example/firmup2/\"]"))
        << m_log.Text();
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

// Only the system folders count: the opener first in PATH is not run, with or without
// one in the system folders.
TEST_F(Launch, MissingOpenerFailsAndIsLogged) {
    std::filesystem::remove(Opener());
    EXPECT_EQ(LaunchUrl("https://x.example/"), FALSE);
    EXPECT_EQ(GetLastError(), 2u);
    EXPECT_TRUE(m_log.Contains("CreateProcess error [xdg-open]"));
    EXPECT_EQ(Out(), "");
}

TEST_F(Launch, TheOpenerFirstInPathIsNotRun) {
    EXPECT_EQ(LaunchUrl("https://x.example/"), TRUE);
    EXPECT_EQ(Out(), "1 https://x.example/\n");
}

// As root the opener gets the session's variables, PATH of the system folders and the
// user's names, nothing else of root's environment; directly and through runuser.
TEST_F(Launch, AsRootTheOpenerGetsOnlyTheSessionEnvironment) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    const std::pair<const char*, const char*> given[] = {
        {"KELVO_SECRET", "s3cret"}, {"LD_PRELOAD", ""}, {"DISPLAY", ":42"}, {"LANG", "C.UTF-8"}, {"HOME", "/nowhere"}};
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    for (const auto& [pszName, pszValue] : given) {
        const char* pszOld = ::getenv(pszName);
        saved.emplace_back(pszName, pszOld ? std::optional<std::string>(pszOld) : std::nullopt);
        ::setenv(pszName, pszValue, 1);
    }
    for (const char* pszSudoUser : {"", "root"}) {
        SCOPED_TRACE(pszSudoUser[0] ? "through runuser" : "directly");
        if (pszSudoUser[0]) ::setenv("SUDO_USER", pszSudoUser, 1);
        std::filesystem::remove(m_dir / "env");
        EXPECT_EQ(LaunchUrl("https://x.example/e"), TRUE);
        std::string env = "\n" + TempDir::Read(m_dir / "env");
        for (const char* pszGone : {"KELVO_SECRET=", "LD_PRELOAD=", "KELVO_SYSROOT=", "SUDO_USER=", "HOME=/nowhere"}) {
            EXPECT_EQ(env.find(std::string("\n") + pszGone), std::string::npos) << pszGone << env;
        }
        for (const char* pszKept : {"DISPLAY=:42\n", "LANG=C.UTF-8\n", "HOME=/root\n", "USER=root\n", "LOGNAME=root\n"}) {
            EXPECT_NE(env.find(std::string("\n") + pszKept), std::string::npos) << pszKept << env;
        }
        ::unsetenv("SUDO_USER");
    }
    for (const auto& [name, value] : saved) {
        if (value) {
            ::setenv(name.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(name.c_str());
        }
    }
}

// An opener that never ends by itself (it keeps the browser in the foreground): the
// launch gives up waiting after LAUNCH_WAIT and leaves it running.
TEST_F(Launch, OpenerThatDoesNotEndDoesNotHoldTheCaller) {
    WriteOpener("echo started > " + Out_() + "\nwhile [ ! -e " + Out_() + ".release ]; do sleep 0.1; done\necho ended >> " +
                Out_() + "\n");
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
    std::string runuser = m_dir / "usr/sbin/runuser";
    WriteProgram("usr/sbin/runuser", "");
    EXPECT_EQ(UrlOpenerArgs("u", ""), (std::vector<std::string>{Opener(), "u"}));
    EXPECT_EQ(UrlOpenerArgs(nullptr, ""), (std::vector<std::string>{Opener()}));
    EXPECT_EQ(UrlOpenerArgs("u", "alice"), (std::vector<std::string>{runuser, "-u", "alice", "--", Opener(), "u"}));
    std::filesystem::remove(runuser);
    EXPECT_EQ(UrlOpenerArgs("u", "alice"), (std::vector<std::string>{"runuser", "-u", "alice", "--", "xdg-open", "u"}));
}

// The session's variables and the user's names; nothing else of this process's.
TEST_F(Launch, SessionEnvironmentOfAUser) {
    ::setenv("KELVO_SECRET", "s3cret", 1);
    ::setenv("WAYLAND_DISPLAY", "wayland-7", 1);
    std::vector<std::string> env = SessionEnvironment("root");
    std::size_t nOfNoOne = SessionEnvironment("no-such-user-here").size();
    ::unsetenv("KELVO_SECRET");
    ::unsetenv("WAYLAND_DISPLAY");
    auto has = [&env](const std::string& entry) { return std::find(env.begin(), env.end(), entry) != env.end(); };
    EXPECT_TRUE(has("PATH=/usr/sbin:/usr/bin:/sbin:/bin"));
    EXPECT_TRUE(has("HOME=/root"));
    EXPECT_TRUE(has("USER=root"));
    EXPECT_TRUE(has("LOGNAME=root"));
    EXPECT_TRUE(has("WAYLAND_DISPLAY=wayland-7"));
    for (const std::string& entry : env) {
        std::string name = entry.substr(0, entry.find('='));
        EXPECT_TRUE(name == "PATH" || name == "HOME" || name == "USER" || name == "LOGNAME" || name == "DISPLAY" ||
                    name == "WAYLAND_DISPLAY" || name == "XAUTHORITY" || name == "XDG_RUNTIME_DIR" ||
                    name == "DBUS_SESSION_BUS_ADDRESS" || name == "LANG")
            << entry;
    }
    EXPECT_EQ(nOfNoOne, env.size() - 3);  // no names of a user
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
    EXPECT_TRUE(m_log.Contains("[0] = CreateProcess [\"" + Opener() + "\" \"https://x.example/p\"]")) << m_log.Text();
    EXPECT_TRUE(m_log.Contains("Process is done."));

    m_dir.Write("exit", "3");
    EXPECT_EQ(LaunchUrl("https://x.example/q"), FALSE);
    EXPECT_EQ(GetLastError(), 3u);
    EXPECT_TRUE(m_log.Contains("ShellExecuteEx error [3]"));
}

}  // namespace
