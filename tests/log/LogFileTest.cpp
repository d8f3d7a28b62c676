#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "log/LogFile.h"
#include "log/LogFormat.h"
#include "platform/LastError.h"
#include "platform/Time.h"
#include "platform/WinError.h"
#include "support/LogLockHolder.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// Every test gets its own system root and state folder and a log as in a new process.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(m_root / "var/log");
        ::setenv("KELVO_SYSROOT", m_root.Path().c_str(), 1);
        ::setenv("XDG_STATE_HOME", (m_root / "state").c_str(), 1);
        LogResetForTest();
    }
    void TearDown() override {
        LogResetForTest();
        ::unsetenv("KELVO_SYSROOT");
        ::unsetenv("XDG_STATE_HOME");
    }
    std::string Folder() const { return m_root / "var/log/ZAQ/Logs"; }
    std::string File(const std::string& name) const { return Folder() + "/" + name; }
    // The file as it stands once the log's thread has written everything logged so far.
    std::string Text(const std::string& name) const {
        LogFlush();
        return ReadWholeFile(File(name));
    }
    bool Exists(const std::string& name) const {
        LogFlush();
        return fs::exists(File(name));
    }
    std::vector<std::string> Lines(const std::string& name) const {
        std::vector<std::string> lines;
        std::string text = Text(name);
        std::size_t pos = 0, end;
        while ((end = text.find("\r\n", pos)) != std::string::npos) {
            lines.push_back(text.substr(pos, end - pos));
            pos = end + 2;
        }
        return lines;
    }

    TempDir m_root;
};

TEST_F(LogTest, SetupMakesTheSharedFolderAndStartsTheFixedFileAfresh) {
    fs::create_directories(Folder());
    WriteWholeFile(File("Kelvo.log"), "old run\r\n");
    ASSERT_EQ(LogSetup(LOG_PROGRAM_MASK, "Kelvo"), TRUE);
    EXPECT_EQ(LogFolder(), Folder());
    EXPECT_FALSE(Exists("Kelvo.log"));
    struct stat st {};
    ASSERT_EQ(::stat(Folder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 02775u);  // those who may update printers share it

    SetLastError(ERROR_ACCESS_DENIED);
    LogMessage(LOG_APP, 'I', 42, 0, "Start %s", "Kelvo");
    EXPECT_EQ(GetLastError(), 0u);  // an information line leaves 0 behind
    LogMessage(LOG_ERROR, 'E', 43, ERROR_TIMEOUT, "failed [%d]", 7);
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);

    std::string text = Text("Kelvo.log");
    ASSERT_TRUE(text.starts_with("ZAQ firmware update log file\r\n")) << text;
    ASSERT_EQ(::stat(File("Kelvo.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0660u);
    auto lines = Lines("Kelvo.log");
    ASSERT_EQ(lines.size(), 3u);
    std::regex line(R"(\[\d\d/\d\d \d\d:\d\d\(\d\d\.\d\d\d\)\] \[I\] \[0005 : 0042\] : Start Kelvo)");
    EXPECT_TRUE(std::regex_match(lines[1], line)) << lines[1];
    EXPECT_TRUE(lines[2].ends_with("[E] [1460 : 0043] : failed [7]")) << lines[2];
}

TEST_F(LogTest, NameWithLogIsNotExtendedAndEachSetupDeletesTheFile) {
    ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, "Tool.log"));
    LogMessage(LOG_ERROR, 'E', 1, 5, "one");
    EXPECT_TRUE(Exists("Tool.log"));
    EXPECT_FALSE(fs::exists(File("Tool.log.log")));
    ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, "Tool.log"));
    EXPECT_FALSE(fs::exists(File("Tool.log")));
    EXPECT_FALSE(LogSetup(LOG_PROGRAM_MASK, "../escape"));
}

TEST_F(LogTest, MaskDecidesWhatIsWritten) {
    // Before set-up only actions, errors and warnings are written (dated file).
    EXPECT_TRUE(LogIsEnabled(LOG_ERROR));
    EXPECT_TRUE(LogIsEnabled(LOG_ACTION));
    EXPECT_TRUE(LogIsEnabled(LOG_WARNING));
    EXPECT_FALSE(LogIsEnabled(LOG_APP));
    EXPECT_FALSE(LogIsEnabled(LOG_RECEIVED));

    const struct {
        DWORD mask;
        DWORD category;
        bool enabled;
    } cases[] = {
        {LOG_PROGRAM_MASK, LOG_APP, true},       {LOG_PROGRAM_MASK, LOG_INFO, true},
        {LOG_PROGRAM_MASK, LOG_TRACE, false},    {LOG_PROGRAM_MASK, LOG_DEBUG, false},
        {LOG_PROGRAM_MASK, LOG_RECEIVED, true},  {LOG_PROGRAM_MASK, LOG_TRANSMITTED, true},
        {LOG_PROGRAM_MASK, LOG_DUMP, false},     {0x80000357u, LOG_ERROR, false},  // bit 31: nothing
        {0xFFFFFFFFu, LOG_APP, false},           {0xBFFFFFFFu, LOG_ERROR, true},   // all bits: the defaults
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(LogSetup(c.mask, "Kelvo"));
        SetLastError(ERROR_BUSY);
        EXPECT_EQ(LogIsEnabled(c.category), c.enabled) << std::hex << c.mask << " " << c.category;
        EXPECT_EQ(GetLastError(), ERROR_BUSY);
    }
}

TEST_F(LogTest, DisabledCategoryWritesNothingAndChangesNothing) {
    ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, "Kelvo"));
    SetLastError(ERROR_BUSY);
    LogMessage(LOG_TRACE, 'I', 1, 0, "trace");
    LogDump(LOG_DUMP, "reply", "abc", 3);
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    EXPECT_FALSE(Exists("Kelvo.log"));
}

TEST_F(LogTest, DumpsKeepTheLastErrorAndSkipEmptyData) {
    ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, "Kelvo"));
    SetLastError(ERROR_TIMEOUT);
    LogDump(LOG_RECEIVED, "USB001", "", 0);
    EXPECT_FALSE(Exists("Kelvo.log"));
    const unsigned char data[] = {0x1D, 0x49, 0x01};
    LogDump(LOG_RECEIVED, "USB001", data, sizeof data);
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    auto lines = Lines("Kelvo.log");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_TRUE(lines[1].ends_with("] Received (USB001) [3byte]")) << lines[1];
    EXPECT_EQ(lines[3], "0000 : 1D 49 01");
    EXPECT_EQ(lines[4], "");
}

TEST_F(LogTest, MessageLongerThanTheLargestBufferIsNotLogged) {
    ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, "Kelvo"));
    std::string fits(kLogMaxMessageChars, 'x');
    std::string tooLong(kLogMaxMessageChars + 1, 'x');
    LogMessage(LOG_ERROR, 'E', 1, 5, "%s", tooLong.c_str());
    EXPECT_FALSE(Exists("Kelvo.log"));
    LogMessage(LOG_ERROR, 'E', 2, 5, "%s", fits.c_str());
    auto lines = Lines("Kelvo.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[1].ends_with(" : " + fits));
}

TEST_F(LogTest, InvalidUtf8IsWrittenWithReplacementCharacters) {
    ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, "Kelvo"));
    LogMessage(LOG_ERROR, 'E', 1, 5, "name [%s]", "bad\xFF");
    LogMessage(LOG_ERROR, 'E', 2, 5, "after");
    auto lines = Lines("Kelvo.log");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[1].ends_with("name [bad\xEF\xBF\xBD]"));
    EXPECT_TRUE(lines[2].ends_with("after"));
}

TEST_F(LogTest, FileAboveTheRotationSizeTakesOneEntryThenMovesAside) {
    ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, "Kelvo"));
    {
        WriteWholeFile(File("Kelvo.log"), kLogHeader);
        fs::resize_file(File("Kelvo.log"), LOG_ROTATE_SIZE + 1);
    }
    LogMessage(LOG_ERROR, 'E', 1, 5, "last entry of the big file");
    EXPECT_FALSE(Exists("Kelvo.log"));
    std::vector<std::string> rotated;
    for (const auto& e : fs::directory_iterator(Folder())) {
        std::string name = e.path().filename().string();
        if (std::regex_match(name, std::regex(R"(20\d{6}_\d{6}\.log)"))) rotated.push_back(name);
    }
    ASSERT_EQ(rotated.size(), 1u);
    std::size_t entry = LogFormatLine(GetLocalTime(), 'E', 5, 1, "last entry of the big file").size();
    EXPECT_EQ(fs::file_size(File(rotated[0])), LOG_ROTATE_SIZE + 1 + entry);

    LogMessage(LOG_ERROR, 'E', 2, 5, "first entry of the new file");
    auto lines = Lines("Kelvo.log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "ZAQ firmware update log file");
}

void SetAge(const std::string& path, int hours) {
    timespec times[2] = {{0, UTIME_OMIT}, {::time(nullptr) - hours * 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

TEST_F(LogTest, DatedCleanUpRemovesOnlyOldFilesWithTheHeader) {
    fs::create_directories(Folder());
    const struct {
        const char* name;
        const char* content;
        int ageHours;
        bool stays;
    } files[] = {
        {"20200101.log", kLogHeader, 50, false},
        {"20200102.log", "another program's file\r\n", 50, true},
        {"20200103.log", kLogHeader, 10, true},
        {"20200104_101010.log", kLogHeader, 60, false},
        {"19990101.log", kLogHeader, 60, true},  // does not match 20*.log
    };
    for (const auto& f : files) {
        WriteWholeFile(File(f.name), f.content);
        SetAge(File(f.name), f.ageHours);
    }
    ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, nullptr));  // no fixed name: dated files
    LogMessage(LOG_ERROR, 'E', 1, 5, "first entry of the day");
    LogFlush();
    for (const auto& f : files) EXPECT_EQ(fs::exists(File(f.name)), f.stays) << f.name;
    LocalTime now = GetLocalTime();
    char today[32];
    std::snprintf(today, sizeof today, "%04d%02d%02d.log", now.year, now.month, now.day);
    EXPECT_TRUE(fs::exists(File(today)));
}

TEST_F(LogTest, PlantedNameIsNeverWrittenThroughAndTheRunLogsToItsOwnFolder) {
    // Whatever sits under the log's name that is not a plain file of the run's own (or of
    // root, or of the folder's group) keeps its content; the entries go to the per-user
    // folder, which says once why.
    const std::string victim = m_root / "victim";
    const struct {
        const char* what;
        bool bNeedsRoot;
        void (*plant)(const std::string& victim, const std::string& name);
    } planted[] = {
        {"symlink", false, [](const std::string& v, const std::string& n) { ASSERT_EQ(::symlink(v.c_str(), n.c_str()), 0); }},
        {"hard link", false, [](const std::string& v, const std::string& n) { ASSERT_EQ(::link(v.c_str(), n.c_str()), 0); }},
        {"foreign file", true,
         [](const std::string&, const std::string& n) {
             WriteWholeFile(n, "precious");
             ASSERT_EQ(::chmod(n.c_str(), 0664), 0);
             ASSERT_EQ(::chown(n.c_str(), 65534, 65534), 0);  // nobody, outside root and the folder's group
         }},
    };
    const std::string userLog = m_root / "state/ZAQ/Logs/Kelvo.log";
    for (const auto& p : planted) {
        SCOPED_TRACE(p.what);
        if (p.bNeedsRoot && ::geteuid() != 0) continue;  // giving a file away needs root
        LogResetForTest();
        fs::remove(userLog);
        ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, "Kelvo"));
        WriteWholeFile(victim, "precious");
        p.plant(victim, File("Kelvo.log"));
        LogMessage(LOG_ERROR, 'E', 1, 5, "must not land in the victim");
        LogMessage(LOG_ERROR, 'E', 2, 5, "nor this one");
        EXPECT_EQ(Text("Kelvo.log"), "precious");
        EXPECT_EQ(ReadWholeFile(victim), "precious");
        EXPECT_EQ(LogFolder(), m_root / "state/ZAQ/Logs");
        std::string own = ReadWholeFile(userLog);
        EXPECT_TRUE(own.starts_with(kLogHeader)) << own;
        EXPECT_NE(own.find("] [W] [0005 : "), std::string::npos) << own;
        EXPECT_NE(own.find("[log] " + File("Kelvo.log") + " is not a file this run may write: this run logs to " +
                           (m_root / "state/ZAQ/Logs")),
                  std::string::npos)
            << own;
        EXPECT_NE(own.find("must not land in the victim\r\n"), std::string::npos) << own;
        EXPECT_NE(own.find("nor this one\r\n"), std::string::npos) << own;
        // The next start takes the shared folder again: the planted name goes, not the victim.
        ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, "Kelvo"));
        LogMessage(LOG_ERROR, 'E', 3, 5, "back in the shared folder");
        EXPECT_EQ(LogFolder(), Folder());
        EXPECT_TRUE(Text("Kelvo.log").ends_with("back in the shared folder\r\n"));
        EXPECT_EQ(ReadWholeFile(victim), "precious");
        fs::remove(victim);
    }

    // A FIFO somebody reads: a writer would get through to the reader.
    LogResetForTest();
    ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, "Fifo"));
    ASSERT_EQ(::mkfifo(File("Fifo.log").c_str(), 0664), 0);
    int reader = ::open(File("Fifo.log").c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    LogMessage(LOG_ERROR, 'E', 4, 5, "must not enter the fifo");
    LogFlush();
    char buf[64];
    EXPECT_LE(::read(reader, buf, sizeof buf), 0);
    ::close(reader);
    EXPECT_NE(ReadWholeFile(m_root / "state/ZAQ/Logs/Fifo.log").find("must not enter the fifo"), std::string::npos);
}

TEST_F(LogTest, ANameChangedBetweenTwoEntriesIsLookedAtAgain) {
    // The file of one entry serves the next only while its name still leads to it as a
    // plain file with that one name.
    const std::string userLog = m_root / "state/ZAQ/Logs/Kelvo.log";
    const struct {
        const char* what;
        void (*change)(const std::string& name, const std::string& aside);
        const char* nameStartsWith;  // what the shared name holds before the second entry
        bool bSecondInName;          // false: the second entry goes to the per-user folder
    } changes[] = {
        {"removed", [](const std::string& n, const std::string&) { fs::remove(n); }, kLogHeader, true},
        {"moved aside for another file",
         [](const std::string& n, const std::string& a) {
             fs::rename(n, a);
             WriteWholeFile(n, "another file\r\n");
         },
         "another file\r\n", true},
        {"given a second name", [](const std::string& n, const std::string& a) { fs::create_hard_link(n, a); },
         kLogHeader, false},
    };
    const std::string aside = m_root / "aside.log";
    for (const auto& c : changes) {
        SCOPED_TRACE(c.what);
        LogResetForTest();
        fs::remove(userLog);
        fs::remove(aside);
        ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, "Kelvo"));
        LogMessage(LOG_ERROR, 'E', 1, 5, "first entry");
        ASSERT_NE(Text("Kelvo.log").find("first entry"), std::string::npos);
        c.change(File("Kelvo.log"), aside);
        LogMessage(LOG_ERROR, 'E', 2, 5, "second entry");
        const std::string name = Text("Kelvo.log");
        EXPECT_TRUE(name.starts_with(c.nameStartsWith)) << name;
        EXPECT_EQ(name.find("second entry") != std::string::npos, c.bSecondInName) << name;
        EXPECT_EQ(ReadWholeFile(userLog).find("second entry") != std::string::npos, !c.bSecondInName);
        // Whatever the first file became, it never gets the second entry.
        if (fs::exists(aside)) {
            EXPECT_EQ(ReadWholeFile(aside).find("second entry"), std::string::npos);
        }
    }
}

TEST_F(LogTest, LockHeldElsewhereNeitherHoldsBackNorDropsAnEntry) {
    ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, "Kelvo"));
    fs::create_directories(Folder());
    LogLockHolder holder(File(kLogLockName));
    ASSERT_TRUE(holder.Holding());
    // Held from before the first entry, so that even the header of the new file (the one
    // step that asks for the lock) meets it. Each call returns as logging always does.
    SetLastError(ERROR_BUSY);
    LogMessage(LOG_ERROR, 'E', 2, ERROR_INVALID_PARAMETER, "held 1");
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    LogMessage(LOG_APP, 'I', 3, 0, "held 2");
    EXPECT_EQ(GetLastError(), 0u);
    SetLastError(ERROR_BUSY);
    LogDump(LOG_RECEIVED, "USB001", "abc", 3);
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    LogMessage(LOG_WARNING, 'W', 4, 0, "held 4");
    auto lines = Lines("Kelvo.log");
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "ZAQ firmware update log file");
    EXPECT_TRUE(lines[1].ends_with("[E] [0087 : 0002] : held 1")) << lines[1];
    EXPECT_TRUE(lines[2].ends_with("[I] [0087 : 0003] : held 2")) << lines[2];
    EXPECT_TRUE(lines[3].ends_with("] Received (USB001) [3byte]")) << lines[3];
    EXPECT_TRUE(lines[7].ends_with("] : held 4")) << lines[7];
    holder.Release();
    LogMessage(LOG_APP, 'I', 5, 0, "after");
    lines = Lines("Kelvo.log");
    ASSERT_EQ(lines.size(), 9u);
    EXPECT_TRUE(lines[8].ends_with("[I] [0000 : 0005] : after")) << lines[8];
}

TEST_F(LogTest, NoFolderAnywhereMeansNoLogAndNoHarm) {
    fs::remove_all(m_root / "var");
    WriteWholeFile(m_root / "state", "a file where the state folder should be");
    EXPECT_EQ(LogSetup(LOG_PROGRAM_MASK, "Kelvo"), FALSE);
    SetLastError(ERROR_BUSY);
    EXPECT_FALSE(LogIsEnabled(LOG_ERROR));
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    LogMessage(LOG_ERROR, 'E', 1, 5, "dropped");
    LogDump(LOG_RECEIVED, "x", "abc", 3);
}

TEST_F(LogTest, WithoutTheSharedFolderThePerUserFolderServes) {
    fs::remove_all(m_root / "var");
    ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, "Kelvo"));
    EXPECT_EQ(LogFolder(), m_root / "state/ZAQ/Logs");
    LogMessage(LOG_ERROR, 'E', 1, 5, "here");
    LogFlush();
    EXPECT_TRUE(fs::exists(m_root / "state/ZAQ/Logs/Kelvo.log"));
}

// Lines of several writers: every one whole, none lost.
void ExpectAllLines(const std::vector<std::string>& lines, int writers, int perWriter) {
    std::map<std::string, int> seen;
    std::regex shape(R"(\[\d\d/\d\d \d\d:\d\d\(\d\d\.\d\d\d\)\] \[I\] \[0000 : 0007\] : writer (\d+) line (\d+) x+)");
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(lines[i], m, shape)) << "torn line: " << lines[i].substr(0, 120);
        ++seen[m[1].str() + "/" + m[2].str()];
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(writers * perWriter));
    for (const auto& [key, count] : seen) EXPECT_EQ(count, 1) << key;
}

constexpr int kPerWriter = 200;
const std::string kPadding(300, 'x');

void WriteLines(int writer) {
    for (int i = 0; i < kPerWriter; ++i) LogMessage(LOG_APP, 'I', 7, 0, "writer %d line %d %s", writer, i, kPadding.c_str());
}

TEST_F(LogTest, ThreadsWritingAtOnceNeverTearOrLoseALine) {
    ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, "Kelvo"));
    constexpr int kThreads = 4;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(WriteLines, t);
    for (auto& t : threads) t.join();
    ExpectAllLines(Lines("Kelvo.log"), kThreads, kPerWriter);
}

TEST_F(LogTest, ProcessesWritingAtOnceNeverTearOrLoseALine) {
    ASSERT_TRUE(LogSetup(LOG_PROGRAM_MASK, "Kelvo"));
    constexpr int kProcesses = 4;
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            SetLastError(0);  // the forking thread's last error comes along
            WriteLines(p);
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ExpectAllLines(Lines("Kelvo.log"), kProcesses, kPerWriter);
}

}  // namespace
