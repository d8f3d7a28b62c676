// Root's kelvo-cli against what an unprivileged user (nobody, through setpriv) can put at
// the names it opens or creates: the update folder's config.ini and update files, the
// machine's lock, the record of the services it stopped. Each plant is refused or
// replaced, nothing of a file the user could not read reaches the output or the log, and
// a run killed outright still has its services started again by the next one.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "FakeCups.h"
#include "MockSystemd.h"
#include "UpdateRun.h"
#include "engine/SingleInstance.h"
#include "platform/UniqueFd.h"
#include "system/Service.h"

namespace cli_test {
namespace {

constexpr const char* kSecret = "ROOT-ONLY-6b1f0c";
constexpr uid_t kNobody = 65534;

class PlantedFilesTest : public UpdateRunTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "plants as another user: needs root";
        if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv";
        UpdateRunTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(m_systemd.Ok()) << m_systemd.Error();
        for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
            ASSERT_TRUE(m_systemd.AddRunningUnit(pszUnit));
        }
        ::chmod(m_dir.Path().c_str(), 0755);  // nobody reaches the shared folders below it
        m_dir.Write("secret", std::string(kSecret) + "\n");
        ::chmod((m_dir / "secret").c_str(), 0600);
        std::filesystem::create_directories(m_dir / "root/run/lock");
        ::chmod((m_dir / "root/run/lock").c_str(), 01777);
    }
    // Runs a shell command as nobody; its exit status.
    int AsNobody(const std::string& command) {
        std::string line = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups /bin/sh -c '" + command + "'";
        int nStatus = std::system(line.c_str());
        return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    }
    // The command that plants kind at path (as nobody).
    std::string Plant(const std::string& kind, const std::string& path) {
        if (kind == "fifo") return "mkfifo " + path;
        if (kind == "foreign file") return "printf \"34,x\" > " + path;
        if (kind == "symlink") return "ln -s " + (m_dir / "secret") + " " + path;
        // protected_hardlinks keeps nobody from linking root's file: a second name of its own.
        return "printf x > " + path + ".own && ln " + path + ".own " + path;
    }
    // No file that the test and the program wrote holds a byte of the secret.
    void ExpectSecretNowhere(const ProgramResult& r) {
        EXPECT_FALSE(Contains(r.out + r.err, kSecret)) << r.out << r.err;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(m_dir.Path())) {
            if (entry.is_symlink() || !entry.is_regular_file() || entry.path() == m_dir / "secret") continue;
            if (entry.path().string().find("fifo") != std::string::npos) continue;
            EXPECT_FALSE(Contains(TempDir::Read(entry.path()), kSecret)) << entry.path();
        }
    }
    std::string MachineLock() const { return m_dir / ("root/run/lock/" + std::string(INSTANCE_NAME) + ".lock"); }

    MockSystemd m_systemd;
    const std::vector<std::string> m_kinds = {"fifo", "foreign file", "symlink", "hard link"};
};

// An update folder that nobody owns: whatever nobody puts at config.ini or at an update
// file's name, root reads nothing of it and says whose folder it is and what to do.
TEST_F(PlantedFilesTest, UpdateFolderOfAnotherUserIsRefusedBeforeAnythingIsRead) {
    for (const char* pszName : {"config.ini", "FW2207SIM.bin"}) {
        for (const std::string& kind : m_kinds) {
            SCOPED_TRACE(std::string(pszName) + ": " + kind);
            const std::string folder = m_dir / "shared";
            std::filesystem::remove_all(folder);
            std::filesystem::create_directory(folder);
            ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
            if (std::string(pszName) != "config.ini") {
                ASSERT_EQ(AsNobody("printf \"34,x,M,IF_TCP,0\\n\" > " + folder + "/config.ini"), 0);
            }
            ASSERT_EQ(AsNobody(Plant(kind, folder + "/" + pszName)), 0);
            ProgramResult r = Cli({"--kind", "lan", "--port", m_address, "--dir", folder});
            EXPECT_EQ(r.nStatus, 1) << r.err;
            EXPECT_TRUE(Contains(r.err, "The update folder " + folder + " belongs to user nobody")) << r.err;
            EXPECT_TRUE(Contains(r.err, "cp -r " + folder)) << r.err;
            ExpectSecretNowhere(r);
        }
    }
    EXPECT_EQ(m_systemd.CallsFor("StopUnit", kPosServiceUnit), 0);
}

// In root's own folder a link or a FIFO at a file's name is not followed or waited on, and
// a file that another user owns (copied with its owner kept) is not read.
TEST_F(PlantedFilesTest, FilesInRootsFolderThatAreNotItsPlainFilesAreNotRead) {
    struct Case {
        const char* pszName;
        std::function<void(const std::string&)> make;
        const char* pszSaid;
    };
    const Case cases[] = {
        {"config.ini", [&](const std::string& p) { std::filesystem::create_symlink(m_dir / "secret", p); },
         "config.ini in WORK is a symbolic link, not a plain file"},
        {"config.ini", [](const std::string& p) { ::mkfifo(p.c_str(), 0644); }, "config.ini in WORK is a FIFO"},
        {"config.ini",
         [](const std::string& p) {
             WriteWholeFile(p, kModelRow);
             ::chown(p.c_str(), kNobody, kNobody);
         },
         "config.ini in WORK belongs to user nobody"},
        {"FW2207SIM.bin", [&](const std::string& p) { std::filesystem::create_symlink(m_dir / "secret", p); },
         "FW2207SIM.bin in WORK is a symbolic link, not a plain file"},
        {"FW2207SIM.bin", [](const std::string& p) { ::mkfifo(p.c_str(), 0644); }, "FW2207SIM.bin in WORK is a FIFO"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszSaid);
        std::filesystem::remove(m_dir / "work/config.ini");
        std::filesystem::remove(m_dir / "work/FW2207SIM.bin");
        if (std::string(c.pszName) != "config.ini") m_dir.Write("work/config.ini", kModelRow);
        c.make(m_dir / ("work/" + std::string(c.pszName)));
        ProgramResult r = Cli({"--kind", "lan", "--port", m_address});
        EXPECT_EQ(r.nStatus, 1) << r.err;
        std::string said = c.pszSaid;
        said.replace(said.find("WORK"), 4, m_dir / "work");
        EXPECT_TRUE(Contains(r.err, said)) << r.err;
        ExpectSecretNowhere(r);
    }
    EXPECT_EQ(m_systemd.CallsFor("StopUnit", kPosServiceUnit), 0);
}

// Whatever nobody leaves at the machine lock's name, root's update runs and the name then
// holds root's own lock file; only a lock that a program of nobody's really holds stops it.
TEST_F(PlantedFilesTest, PlantedMachineLockIsReplacedAndOnlyARunningHolderCounts) {
    StartPrinter(0x05);
    MakeFile("FW", 0x07, 8000);
    for (const std::string& kind : m_kinds) {
        SCOPED_TRACE(kind);
        std::filesystem::remove(MachineLock());
        ASSERT_EQ(AsNobody(Plant(kind, MachineLock())), 0);
        ProgramResult r = Cli({"--kind", "lan", "--port", m_address, "--check"});
        EXPECT_EQ(r.nStatus, 0) << r.err;
        struct stat st {};
        ASSERT_EQ(::lstat(MachineLock().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_uid == 0 && st.st_nlink == 1) << st.st_mode;
        ExpectSecretNowhere(r);
    }

    std::filesystem::remove(MachineLock());
    ASSERT_EQ(AsNobody("printf x > " + MachineLock()), 0);
    UniqueFd held(::open(MachineLock().c_str(), O_RDONLY | O_CLOEXEC));  // as nobody's program would
    ASSERT_EQ(::flock(held.Get(), LOCK_EX | LOCK_NB), 0);
    ProgramResult busy = Cli({"--kind", "lan", "--port", m_address, "--check"});
    EXPECT_EQ(busy.nStatus, 1) << busy.err;
    EXPECT_TRUE(Contains(busy.err, "Another firmware update program is running")) << busy.err;
    EXPECT_TRUE(Contains(TempDir::Read(m_dir / "root/var/log/ZAQ/Logs/Kelvo.log"), ".lock (user nobody's)]"));
    held.Reset();
    EXPECT_EQ(Cli({"--kind", "lan", "--port", m_address, "--check"}).nStatus, 0);
}

// The record's folder as an older install made it (1777), with what nobody put in it:
// root's run makes it its own again, writes its record as root's alone, and after the run
// is killed outright the next start starts the spooler and the POS service again, and
// nothing that nobody's files name.
TEST_F(PlantedFilesTest, StoppedServicesRecordIsRootsAndSurvivesAKilledRun) {
    const std::string folder = m_dir / "root/run/kelvo";
    std::filesystem::create_directories(folder);
    ::chmod(folder.c_str(), 01777);
    ASSERT_EQ(AsNobody(Plant("fifo", folder + "/stopped-1")), 0);
    ASSERT_EQ(AsNobody(Plant("symlink", folder + "/stopped-2")), 0);
    ASSERT_EQ(AsNobody("printf \"1\\nssh.service\\n\" > " + folder + "/stopped-3"), 0);
    ASSERT_TRUE(m_systemd.AddUnit("ssh.service"));
    MakeFile("FW", 0x07, 400000);
    sim::Faults slow;
    slow.dwReadRate = 20000;
    StartPrinter(0x05, slow);
    FakeCups cups({"socket://" + m_address + ":9100"});
    ASSERT_TRUE(cups.Ok());
    std::string record;
    bool bKilled = false;
    ProgramResult r = RunProgram({kCli, "--kind", "lan", "--port", m_address}, m_env, m_dir / "work", -1, -1,
                                 [&](pid_t pid) {
                                     if (!m_printer->WaitForEvent("transfer_begin", 60000)) return;
                                     record = folder + "/stopped-" + std::to_string(pid);
                                     bKilled = ::kill(pid, SIGKILL) == 0;
                                 });
    ASSERT_TRUE(bKilled) << r.err;
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    EXPECT_EQ(st.st_uid, 0u);
    ASSERT_EQ(::lstat(record.c_str(), &st), 0) << record;
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_uid == 0 && st.st_nlink == 1 && (st.st_mode & 077) == 0) << st.st_mode;
    EXPECT_EQ(m_systemd.ActiveState(kSpoolerUnit), "inactive");
    EXPECT_EQ(m_systemd.ActiveState(kPosServiceUnit), "inactive");

    ProgramResult next = Cli({"--dir", "no-such-folder"});
    EXPECT_TRUE(Contains(next.err, "started again cups.service")) << next.err;
    EXPECT_EQ(m_systemd.ActiveState(kSpoolerUnit), "active");
    EXPECT_EQ(m_systemd.ActiveState(kPosServiceUnit), "active");
    EXPECT_EQ(m_systemd.CallsFor("StartUnit", "ssh.service"), 0);
    EXPECT_FALSE(std::filesystem::exists(record));
    ExpectSecretNowhere(next);
}

}  // namespace
}  // namespace cli_test
