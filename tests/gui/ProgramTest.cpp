// The desktop program as a whole process under Qt's offscreen platform: what a script or
// an installer running "kelvo /s" sees (the exit status, the lines on stderr, the log),
// and that such a run always ends by itself.
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "cli/RunProgram.h"
#include "engine/SingleInstance.h"
#include "platform/Tick.h"
#include "platform/UniqueFd.h"
#include "sim/FirmwareImage.h"
#include "support/TempDir.h"

namespace {

const std::string kKelvo = KELVO_EXE;
constexpr int kHangLimitMs = 120000;  // far beyond any run here: only a hang reaches it

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The process's main thread has the signal blocked (it reads it itself from then on).
bool BlocksSignal(pid_t pid, int nSignal) {
    const std::string status = TempDir::Read("/proc/" + std::to_string(pid) + "/status");
    const std::size_t at = status.find("SigBlk:\t");
    if (at == std::string::npos) return false;
    const unsigned long long mask = std::strtoull(status.c_str() + at + 8, nullptr, 16);
    return (mask >> (nSignal - 1)) & 1u;
}

class KelvoProgram : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* psz : {"work", "config", "run", "root/var/log", "root/run/lock"}) {
            std::filesystem::create_directories(m_dir / psz);
        }
        ::chmod((m_dir / "root/run/lock").c_str(), 01777);
        m_env = {{"XDG_CONFIG_HOME", m_dir / "config"},
                 {"XDG_RUNTIME_DIR", m_dir / "run"},
                 {"KELVO_SYSROOT", m_dir / "root"},
                 {"LC_ALL", "C.UTF-8"},
                 {"QT_QPA_PLATFORM", "offscreen"},
                 // The machine's services are never touched: no system bus here.
                 {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (m_dir / "no-bus")},
                 {"XDG_ACTIVATION_TOKEN", ""},
                 {"KELVO_LAN_PORTS", ""}};
    }

    // Runs kelvo with the arguments; a run that does not end by itself is killed (and
    // the test fails) rather than hanging the suite.
    ProgramResult Kelvo(const std::vector<std::string>& args, const std::vector<std::string>& prefix = {}) {
        std::vector<std::string> argv = prefix;
        argv.push_back(kKelvo);
        argv.insert(argv.end(), args.begin(), args.end());
        std::atomic<bool> bKilled{false};
        ProgramResult r = RunProgram(argv, m_env, m_dir / "work", -1, -1, [&](pid_t pid) {
            UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
            pollfd p{pidfd.Get(), POLLIN, 0};
            if (pidfd && ::poll(&p, 1, kHangLimitMs) == 0) {
                bKilled = true;
                ::kill(pid, SIGKILL);
            }
        });
        EXPECT_FALSE(bKilled) << "kelvo did not end by itself";
        return r;
    }
    std::string Log() const { return TempDir::Read(m_dir / "root/var/log/ZAQ/Logs/Kelvo.log"); }

    TempDir m_dir;
    std::map<std::string, std::string> m_env;
};

TEST_F(KelvoProgram, SilentStartWithABadConfigurationEndsByItselfWithStatusOneAndTheErrorLogged) {
    m_dir.Write("work/config.ini", "1,\"a\",M,1\n");
    ProgramResult r = Kelvo({"/s", "Ethernet"});
    EXPECT_EQ(r.nStatus, 1);
    const std::string text = "Bad configuration file format. (line:1)\n\nErrorCode = [ 120301, 2000000B ]";
    EXPECT_TRUE(Contains(Log(), "Showing message is skipped. [" + text + "]")) << Log();
    EXPECT_TRUE(Contains(r.err, "kelvo: " + text + "\n")) << r.err;
    EXPECT_TRUE(r.err.ends_with("kelvo: result 1610 (ERROR_BAD_CONFIGURATION)\n")) << r.err;
}

// The second start finds the first through the user's lock: without /s it has done its
// part (raising the first window), with /s an installer must see a failure.
TEST_F(KelvoProgram, SecondStartEndsWithZeroOrSilentlyWith183OnStderr) {
    m_dir.Write("work/config.ini", "1,\"a\",M,1,0\n");
    CInstanceLock first;
    ASSERT_TRUE(first.Acquire(m_dir / "run/____ZAQ_FW_UPDATE____.lock"));
    struct Case {
        std::vector<std::string> args;
        int nStatus;
        const char* pszLine;
    };
    for (const Case& c : {Case{{}, 0, "kelvo: result 0 (ERROR_SUCCESS)\n"},
                          Case{{"/s"}, 1, "kelvo: result 183 (ERROR_ALREADY_EXISTS)\n"}}) {
        ProgramResult r = Kelvo(c.args);
        EXPECT_EQ(r.nStatus, c.nStatus) << r.err;
        EXPECT_TRUE(r.err.ends_with(c.pszLine)) << r.err;
    }
}

// A lock file this user cannot open: silently, the reason goes to stderr and the log.
TEST_F(KelvoProgram, LockThatCannotBeOpenedIsNamedOnStderr) {
    m_dir.Write("work/config.ini", "1,\"a\",M,1,0\n");
    const std::string lock = m_dir / "run/____ZAQ_FW_UPDATE____.lock";
    std::filesystem::create_directory(lock);  // not a file
    ProgramResult r = Kelvo({"/s"});
    EXPECT_EQ(r.nStatus, 1);
    if (::geteuid() == 0) {
        // Root sets it aside and takes a lock file of its own (the run then finds no printer).
        EXPECT_FALSE(Contains(r.err, "The lock file")) << r.err;
        EXPECT_TRUE(Contains(Log(), "set aside [" + lock + "]"));
        EXPECT_TRUE(std::filesystem::is_regular_file(lock));
        return;
    }
    EXPECT_TRUE(Contains(r.err, "kelvo: The lock file " + lock + " cannot be opened.\n")) << r.err;
    EXPECT_TRUE(r.err.ends_with("kelvo: result 222 (ERROR_BAD_FILE_TYPE)\n")) << r.err;
    EXPECT_TRUE(Contains(Log(), "Instance lock failed [" + lock + "]"));
}

// What "sudo -E kelvo" used to leave in the user's runtime folder: a lock file of
// root's that the user may not read. The user's start names it instead of failing mutely.
TEST_F(KelvoProgram, RootsPrivateLockInTheUsersFolderIsNamedToTheUser) {
    if (::geteuid() != 0 || ::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs root and setpriv";
    m_dir.Write("work/config.ini", "1,\"a\",M,1,0\n");
    const std::string lock = m_dir / "run/____ZAQ_FW_UPDATE____.lock";
    m_dir.Write("run/____ZAQ_FW_UPDATE____.lock", "");
    ::chmod(lock.c_str(), 0600);
    // The user's own folders, and the shared ones, as a user has them.
    for (const char* psz : {"", "/work", "/config", "/root", "/root/var", "/root/run"}) {
        ::chmod((m_dir.Path() + psz).c_str(), 0755);
    }
    ::chmod((m_dir / "work/config.ini").c_str(), 0666);  // the loader opens it for writing too
    ::chown((m_dir / "run").c_str(), 65534, 65534);
    ::chmod((m_dir / "run").c_str(), 0700);
    ::chmod((m_dir / "root/var/log").c_str(), 01777);
    m_env["HOME"] = m_dir / "work";
    ProgramResult r = Kelvo({"/s"}, {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    EXPECT_EQ(r.nStatus, 1);
    EXPECT_TRUE(Contains(r.err, "kelvo: The lock file " + lock + " cannot be opened.\n")) << r.err;
    EXPECT_TRUE(r.err.ends_with("kelvo: result 5 (ERROR_ACCESS_DENIED)\n")) << r.err;
}

// An empty word ends the command line as a blank quoted token does: the kind word after
// it is not seen, so the silent run asks for USB, which this model lacks.
TEST_F(KelvoProgram, EmptyWordEndsTheCommandLine) {
    m_dir.Write("work/config.ini", "34,\"SIM-34\",M,IF_COM,0\n");
    sim::UpdateFileRequest request;
    request.bTypeId = 0x22;
    request.szDir = m_dir / "work";
    sim::MadeFile made;
    ASSERT_TRUE(sim::MakeUpdateFile(request, &made));
    struct Case {
        std::vector<std::string> args;
        const char* pszLine;
        const char* pszLogged;
    };
    for (const Case& c : {Case{{"/s", "", "Serial"}, "kelvo: result 1801 (ERROR_INVALID_PRINTER_NAME)\n",
                               "Showing message is skipped. [Specified port is not supported."},
                          Case{{"/s", "Serial"}, "kelvo: result 1167 (ERROR_DEVICE_NOT_CONNECTED)\n",
                               "Showing message is skipped. [No port or printer found."}}) {
        ProgramResult r = Kelvo(c.args);
        EXPECT_EQ(r.nStatus, 1);
        EXPECT_TRUE(r.err.ends_with(c.pszLine)) << r.err;
        EXPECT_TRUE(Contains(Log(), c.pszLogged)) << Log();
    }
}

// With no update running, a signal is the close request of a user: the dialog closes,
// the settings are written back and the exit status is that of the start-up.
TEST_F(KelvoProgram, SignalWithNoUpdateRunningClosesTheDialogAndWritesTheSettingsBack) {
    m_dir.Write("work/config.ini", "34,\"SIM-34\",M,IF_TCP,0\n");
    sim::UpdateFileRequest request;
    request.bTypeId = 0x22;
    request.szDir = m_dir / "work";
    sim::MadeFile made;
    ASSERT_TRUE(sim::MakeUpdateFile(request, &made));
    const std::string settings = m_dir / "config/ZAQ/UpdateTool/kelvo.ini";
    std::filesystem::create_directories(m_dir / "config/ZAQ/UpdateTool");
    for (int nSignal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(nSignal);
        m_dir.Write("config/ZAQ/UpdateTool/kelvo.ini", "[Section]\nTargetName=Counter\nIpAddr=2130706433\n");
        std::filesystem::remove(m_dir / "root/var/log/ZAQ/Logs/Kelvo.log");
        bool bSent = false;
        ProgramResult r = RunProgram({kKelvo}, m_env, m_dir / "work", -1, -1, [&](pid_t pid) {
            // The start line is logged after the program has taken the signals over; the
            // update files are loaded before the window is ready.
            Deadline deadline(30000);
            while (!deadline.Expired() && !Contains(Log(), "[[[ Launches F/W Update Program ]]]")) Sleep(10);
            bSent = !deadline.Expired() && ::kill(pid, nSignal) == 0;
        });
        ASSERT_TRUE(bSent) << r.err;
        EXPECT_EQ(r.nStatus, 0) << r.err;
        EXPECT_TRUE(Contains(r.err, "kelvo: Signal " + std::to_string(nSignal) + ": closing.\n")) << r.err;
        EXPECT_TRUE(r.err.ends_with("kelvo: result 0 (ERROR_SUCCESS)\n")) << r.err;
        EXPECT_TRUE(Contains(Log(), "Close signal " + std::to_string(nSignal) + " received [1]")) << Log();
        EXPECT_TRUE(Contains(Log(), "[[[ Close Kelvo ]]]")) << Log();
        const std::string saved = TempDir::Read(settings);
        EXPECT_TRUE(Contains(saved, "TargetName=Counter\n")) << saved;
        EXPECT_TRUE(Contains(saved, "IpAddr=2130706433")) << saved;
    }
}

// A signal while the start-up shows a box (a bad configuration file, with the user at
// the screen): the box goes and the start ends as after the box, instead of waiting.
TEST_F(KelvoProgram, SignalDuringTheStartUpsBoxEndsTheStart) {
    m_dir.Write("work/config.ini", "1,\"a\",M,1\n");
    bool bSent = false;
    ProgramResult r = RunProgram({kKelvo}, m_env, m_dir / "work", -1, -1, [&](pid_t pid) {
        Deadline deadline(30000);
        while (!deadline.Expired() && !Contains(Log(), "Loading config file...")) Sleep(10);
        bSent = !deadline.Expired() && ::kill(pid, SIGTERM) == 0;
    });
    ASSERT_TRUE(bSent) << r.err;
    EXPECT_EQ(r.nStatus, 1) << r.err;
    EXPECT_TRUE(r.err.ends_with("kelvo: result 1610 (ERROR_BAD_CONFIGURATION)\n")) << r.err;
    EXPECT_TRUE(Contains(Log(), "Close signal 15 received before the window")) << Log();
}

// --help and --version answer without a display; a folder argument is the update folder
// (and is remembered), one that does not exist is named.
TEST_F(KelvoProgram, HelpVersionAndTheFolderArgument) {
    std::map<std::string, std::string> noDisplay = m_env;
    noDisplay["QT_QPA_PLATFORM"] = "";
    noDisplay["DISPLAY"] = "";
    noDisplay["WAYLAND_DISPLAY"] = "";
    ProgramResult help = RunProgram({kKelvo, "--help"}, noDisplay, m_dir / "work", -1, -1, {});
    EXPECT_EQ(help.nStatus, 0) << help.err;
    EXPECT_TRUE(help.out.starts_with("Usage: kelvo [FOLDER] [/s] [USB|Bluetooth|Ethernet|Serial]\n")) << help.out;
    ProgramResult version = RunProgram({kKelvo, "--version"}, noDisplay, m_dir / "work", -1, -1, {});
    EXPECT_EQ(version.nStatus, 0) << version.err;
    EXPECT_EQ(version.out, std::string("kelvo ") + KELVO_VERSION + "\n");

    // The folder's config.ini is the one read: its error shows, not the working folder's.
    std::filesystem::create_directories(m_dir / "updates");
    m_dir.Write("updates/config.ini", "1,\"a\",M,1\n");
    ProgramResult r = Kelvo({"/s", m_dir / "updates", "Ethernet"});
    EXPECT_EQ(r.nStatus, 1);
    EXPECT_TRUE(Contains(r.err, "kelvo: Bad configuration file format. (line:1)")) << r.err;
    EXPECT_TRUE(r.err.ends_with("kelvo: result 1610 (ERROR_BAD_CONFIGURATION)\n")) << r.err;
    EXPECT_TRUE(Contains(TempDir::Read(m_dir / "config/ZAQ/UpdateTool/kelvo.ini"), "UpdateFolder=" + (m_dir / "updates")));

    r = Kelvo({"/s", m_dir / "nowhere"});
    EXPECT_EQ(r.nStatus, 1);
    EXPECT_TRUE(Contains(r.err, "kelvo: The folder " + (m_dir / "nowhere") + " does not exist.\n")) << r.err;
    EXPECT_TRUE(r.err.ends_with("kelvo: result 3 (ERROR_PATH_NOT_FOUND)\n")) << r.err;
}

// Without a config.ini in the working folder the program asks for the update folder
// before anything else (not the configuration error); a close signal dismisses the
// chooser and the start ends as cancelled.
TEST_F(KelvoProgram, WithoutConfigIniTheFolderChooserComesFirst) {
    ProgramResult r = RunProgram({kKelvo}, m_env, m_dir / "work", -1, -1, [&](pid_t pid) {
        // Sent once the program blocks the signal to read it itself.
        Deadline deadline(30000);
        while (!deadline.Expired() && !BlocksSignal(pid, SIGTERM)) Sleep(10);
        ::kill(pid, SIGTERM);
    });
    EXPECT_EQ(r.nStatus, 3) << r.err;
    EXPECT_TRUE(r.err.ends_with("kelvo: result 1223 (ERROR_CANCELLED)\n")) << r.err;
    EXPECT_FALSE(Contains(r.err, "configuration file")) << r.err;
}

}  // namespace
