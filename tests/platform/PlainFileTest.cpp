// Files in folders other users control, and what the programs it starts inherit.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "platform/PlainFile.h"
#include "platform/Process.h"
#include "platform/Signals.h"
#include "support/TempDir.h"

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

// Each kind of object at a name, and whether the file is opened or refused (as root,
// owners and modes count too).
TEST(PlainFile, OnlyARegularFileOfATrustedOwnerIsOpened) {
    TempDir dir;
    WriteWholeFile(dir / "secret", "root:$y$j9T$hash:19000:0:99999:7:::\n");
    ::chmod((dir / "secret").c_str(), 0600);
    const bool bRoot = ::geteuid() == 0;
    struct Case {
        const char* pszName;
        std::function<void(const std::string&)> make;
        bool bOpened;
        int nErrno;           // when refused
        const char* pszWhy;   // part of the reason given, when refused here
        bool bRootOnly = false;
    };
    const Case cases[] = {
        {"plain", [](const std::string& p) { WriteWholeFile(p, "1,\"a\",M,1,0\n"); }, true, 0, ""},
        {"link", [&](const std::string& p) { ::symlink((dir / "secret").c_str(), p.c_str()); }, false, ELOOP,
         "symbolic link"},
        {"fifo", [](const std::string& p) { ::mkfifo(p.c_str(), 0666); }, false, EACCES, "is a FIFO"},
        {"folder", [](const std::string& p) { ::mkdir(p.c_str(), 0755); }, false, EISDIR, ""},
        {"nobody's",
         [](const std::string& p) {
             WriteWholeFile(p, "x");
             ::chown(p.c_str(), kNobody, kNoGroup);
         },
         false, EACCES, "belongs to user ", true},
        {"group-writable",
         [](const std::string& p) {
             WriteWholeFile(p, "x");
             ::chown(p.c_str(), 0, kNoGroup);
             ::chmod(p.c_str(), 0664);
         },
         false, EACCES, "may be written by group ", true},
        {"world-writable",
         [](const std::string& p) {
             WriteWholeFile(p, "x");
             ::chmod(p.c_str(), 0666);
         },
         false, EACCES, "may be written by every user", true},
        {"root group-writable",
         [](const std::string& p) {
             WriteWholeFile(p, "x");
             ::chmod(p.c_str(), 0664);
             ::chown(p.c_str(), 0, 0);
         },
         true, 0, "", true},
    };
    for (const Case& c : cases) {
        if (c.bRootOnly && !bRoot) continue;
        SCOPED_TRACE(c.pszName);
        const std::string path = dir / c.pszName;
        c.make(path);
        PlainFile file = OpenPlainFile(path.c_str());  // never blocks, FIFO or not
        EXPECT_EQ(file.fd.Valid(), c.bOpened);
        if (c.bOpened) continue;
        EXPECT_EQ(file.nErrno, c.nErrno);
        EXPECT_NE(file.strWhyNot.find(c.pszWhy), std::string::npos) << file.strWhyNot;
        EXPECT_EQ(file.strWhyNot.find("root:"), std::string::npos);
    }
}

// A technician's own folder under sudo keeps working; another user's does not.
TEST(PlainFile, RootTrustsTheUserItRunsFor) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    struct stat info {};
    info.st_mode = S_IFDIR | 0755;
    info.st_uid = kNobody;
    ::unsetenv("SUDO_UID");
    ::unsetenv("PKEXEC_UID");
    EXPECT_EQ(RootDistrust(info), "belongs to user nobody");
    for (const char* pszVariable : {"SUDO_UID", "PKEXEC_UID"}) {
        ::setenv(pszVariable, "65534", 1);
        EXPECT_EQ(RootDistrust(info), "") << pszVariable;
        ::setenv(pszVariable, "65534x", 1);  // not a number: trusts nobody
        EXPECT_EQ(RootDistrust(info), "belongs to user nobody") << pszVariable;
        ::unsetenv(pszVariable);
    }
}

// The mask and dispositions of a process, from /proc/PID/status.
struct SignalState {
    unsigned long long blocked = ~0ull;
    unsigned long long ignored = ~0ull;
};

SignalState SignalStateOf(pid_t pid) {
    const std::string status = TempDir::Read("/proc/" + std::to_string(pid) + "/status");
    auto field = [&status](const char* pszName) {
        std::size_t at = status.find(pszName);
        return at == std::string::npos ? ~0ull : std::strtoull(status.c_str() + at + std::strlen(pszName), nullptr, 16);
    };
    return {field("SigBlk:\t"), field("SigIgn:\t")};
}

// What a program started from here inherits: nothing blocked, nothing ignored, whether
// it is started by SpawnProcess or by a library's own fork and exec (dbus-launch).
TEST(Signals, StartedProgramsGetAnEmptyMaskAndDefaultDispositions) {
    UniqueFd signals = BlockCloseSignals();
    ASSERT_TRUE(signals.Valid());
    ::signal(SIGPIPE, SIG_IGN);
    ASSERT_NE(SignalStateOf(::getpid()).blocked & (1ull << (SIGTERM - 1)), 0u);

    pid_t spawned = 0;
    ASSERT_TRUE(SpawnProcess({"/bin/sleep", "30"}, true, &spawned));
    // A pipe that closes at the exec tells when the forked child runs the new program.
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    pid_t forked = ::fork();
    if (forked == 0) {
        ::execl("/bin/sleep", "sleep", "30", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    char ch;
    while (::read(fds[0], &ch, 1) > 0) {
    }
    ::close(fds[0]);

    for (pid_t pid : {spawned, forked}) {
        SignalState state = SignalStateOf(pid);
        EXPECT_EQ(state.blocked, 0u) << pid;
        EXPECT_EQ(state.ignored & (1ull << (SIGPIPE - 1)), 0u) << pid;
        ::kill(pid, SIGTERM);  // and so it ends at a plain kill
        int nStatus = 0;
        ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == SIGTERM) << nStatus;
    }
    ::signal(SIGPIPE, SIG_DFL);
}

}  // namespace
