// The log as several local users meet it: who may write the shared folder, whose file a
// run may append to, and fs.protected_regular. Each user is a forked child that changes
// its ids (root only); the child logs, the test reads the files.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "log/Log.h"
#include "log/LogFormat.h"
#include "platform/LastError.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

struct User {
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
};

// Every open that asks for O_CREAT without O_EXCL is refused with EACCES, as
// fs.protected_regular=2 refuses it for another user's file in a shared sticky folder.
bool RefuseCreatingOpens() {
    sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 4),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args) + 2 * sizeof(__u64)),  // flags, low half
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, O_CREAT | O_EXCL),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, O_CREAT, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EACCES & SECCOMP_RET_DATA)),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

class LogUsersTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "other users need root to become them";
        // The other users must reach the system root.
        ASSERT_EQ(::chmod(m_root.Path().c_str(), 0755), 0);
        fs::create_directories(m_root / "var/log/ZAQ/Logs");
        ::setenv("KELVO_SYSROOT", m_root.Path().c_str(), 1);
        LogResetForTest();
    }
    void TearDown() override {
        LogResetForTest();
        ::unsetenv("KELVO_SYSROOT");
    }
    std::string Folder() const { return m_root / "var/log/ZAQ/Logs"; }
    std::string StateOf(const User& user) const { return m_root / ("state-" + std::to_string(user.uid)); }
    void SetFolder(mode_t mode, gid_t gid) {
        ASSERT_EQ(::chown(Folder().c_str(), 0, gid), 0);
        ASSERT_EQ(::chmod(Folder().c_str(), mode), 0);
    }

    // Runs fn as the user in a child; fn's result is the child's exit status (0: fine).
    int RunAs(const User& user, const std::function<int()>& fn) {
        std::string state = StateOf(user);
        fs::create_directories(state);
        EXPECT_EQ(::chown(state.c_str(), user.uid, user.gid), 0);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("XDG_STATE_HOME", state.c_str(), 1);
            if (::setgroups(user.groups.size(), user.groups.data()) != 0 || ::setresgid(user.gid, user.gid, user.gid) != 0 ||
                ::setresuid(user.uid, user.uid, user.uid) != 0) {
                ::_exit(100);
            }
            SetLastError(0);
            ::_exit(fn());
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 200;
    }

    TempDir m_root;
};

int LogTwoEntries() {
    if (!LogSetup(LOG_PROGRAM_MASK, "Kelvo")) return 1;
    LogMessage(LOG_APP, 'I', 1, 0, "first entry");
    LogMessage(LOG_APP, 'I', 2, 0, "second entry");
    LogFlush();
    return 0;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST_F(LogUsersTest, OnlyThoseTheFolderLetsInWriteItEveryoneElseLogsToTheirOwnFolder) {
    constexpr gid_t kAdmins = 4242;  // the printer administrators' group of this test
    const User outsider{65534, 65534, {}};
    const User admin{65534, 65534, {kAdmins}};
    const struct {
        const char* what;
        mode_t mode;
        gid_t gid;
        User user;
        bool bShared;
        bool bNote;
    } cases[] = {
        {"older install: sticky, every user may write", 01777, 0, outsider, false, true},
        {"every user may write, not sticky", 0777, 0, outsider, false, false},
        {"the administrators' folder, user outside the group", 02775, kAdmins, outsider, false, false},
        {"the administrators' folder, user in the group", 02775, kAdmins, admin, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(Folder());
        fs::create_directories(Folder());
        fs::remove_all(StateOf(c.user));
        SetFolder(c.mode, c.gid);
        ASSERT_EQ(RunAs(c.user, LogTwoEntries), 0);

        const std::string shared = Folder() + "/Kelvo.log";
        const std::string own = StateOf(c.user) + "/ZAQ/Logs/Kelvo.log";
        const std::string written = TempDir::Read(c.bShared ? shared : own);
        EXPECT_FALSE(fs::exists(c.bShared ? own : shared));
        EXPECT_TRUE(written.starts_with(kLogHeader)) << written;
        EXPECT_EQ(Count(written, "] : first entry\r\n"), 1u) << written;
        EXPECT_EQ(Count(written, "] : second entry\r\n"), 1u) << written;
        const std::string note = "[log] " + Folder() + " may be written by every user (an older install): this run logs to " +
                                 StateOf(c.user) + "/ZAQ/Logs\r\n";
        EXPECT_EQ(Count(written, note), c.bNote ? 1u : 0u) << written;
        struct stat st {};
        ASSERT_EQ(::stat(Folder().c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode);  // only its owner changes it
        if (c.bShared) {
            ASSERT_EQ(::stat(shared.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0660u);
            EXPECT_EQ(st.st_gid, kAdmins);  // the folder's group, through its set-group-ID bit
        }
    }
}

// Two members of the administrators' group: the first one's file, the second one's run.
TEST_F(LogUsersTest, AnotherMembersFileIsAppendedToWithoutCreatingOpens) {
    const passwd* pFirst = ::getpwnam("daemon");
    const passwd* pSecond = pFirst != nullptr ? ::getpwnam("bin") : nullptr;
    if (pFirst == nullptr || pSecond == nullptr) GTEST_SKIP() << "needs the system users daemon and bin";
    const gid_t admins = pFirst->pw_gid;  // daemon belongs to it through its own group
    const User first{pFirst->pw_uid, pFirst->pw_gid, {admins}};
    const User second{pSecond->pw_uid, pSecond->pw_gid, {admins}};
    SetFolder(03775, admins);  // sticky too: where fs.protected_regular=2 steps in

    ASSERT_EQ(RunAs(first, [] {
                  if (!LogSetup(LOG_PROGRAM_MASK, "Kelvo")) return 1;
                  LogMessage(LOG_APP, 'I', 1, 0, "the first member's run");
                  LogFlush();
                  return 0;
              }),
              0);
    const std::string shared = Folder() + "/Kelvo.log";
    ASSERT_TRUE(fs::exists(shared));

    const std::string path = shared;
    EXPECT_EQ(RunAs(second,
                    [path] {
                        if (!RefuseCreatingOpens()) return 10;
                        // The fixture bites: an open that may create is refused for this file.
                        if (::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0664) >= 0 || errno != EACCES) {
                            return 11;
                        }
                        // A start refused by the first run's lock adds to its record.
                        if (!LogSetupPending(LOG_PROGRAM_MASK, "Kelvo")) return 12;
                        LogMessage(LOG_APP, 'I', 2, 0, "the second member's run");
                        LogBegin(LogStart::Append);
                        LogFlush();
                        return 0;
                    }),
              0);
    const std::string text = TempDir::Read(shared);
    EXPECT_EQ(Count(text, kLogHeader), 1u) << text;
    const std::size_t firstAt = text.find("] : the first member's run\r\n");
    const std::size_t secondAt = text.find("] : the second member's run\r\n");
    ASSERT_NE(firstAt, std::string::npos) << text;
    ASSERT_NE(secondAt, std::string::npos) << text;
    EXPECT_LT(firstAt, secondAt);
    EXPECT_FALSE(fs::exists(StateOf(second) + "/ZAQ/Logs/Kelvo.log"));
}

}  // namespace
