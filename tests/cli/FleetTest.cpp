// The fleet run's own pieces: its options, the ports file, the child's command line,
// the exit status and the JSON object.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/Fleet.h"
#include "cli/FleetResultFile.h"
#include "cli/Json.h"
#include "cli/Options.h"
#include "engine/Kelvo.h"
#include "support/TempDir.h"

namespace {

TEST(FleetOptions, Table) {
    struct Case {
        std::vector<const char*> args;
        const char* pszError;  // null: parses
        std::vector<std::string> ports;
        std::string strPortsFrom;
        bool bAll;
        int nParallel;
        bool bFleetChild;
        bool bFleet;
    } cases[] = {
        {{"--port", "127.0.0.2"}, nullptr, {"127.0.0.2"}, "", false, 4, false, false},
        {{"-p", "127.0.0.2", "--port=127.0.0.3", "-j", "2"}, nullptr, {"127.0.0.2", "127.0.0.3"}, "", false, 2, false, true},
        {{"--ports-from", "shops.txt", "--parallel=64"}, nullptr, {}, "shops.txt", false, 64, false, true},
        {{"--kind", "lan", "--all"}, nullptr, {}, "", true, 4, false, true},
        // A child is started through its parent's channel; no option makes one.
        {{"--fleet-child", "--port", "127.0.0.2"}, "unknown option '--fleet-child'", {}, "", false, 4, false, false},
        {{"--port", "127.0.0.2\033[2J"}, "a port name has no control characters", {}, "", false, 4, false, false},
        {{"--parallel", "0"}, "--parallel needs a number from 1 to 64", {}, "", false, 4, false, false},
        {{"--parallel", "65"}, "--parallel needs a number from 1 to 64", {}, "", false, 4, false, false},
        {{"--parallel", "-3"}, "--parallel needs a number", {}, "", false, 4, false, false},
        {{"--parallel", "4x"}, "--parallel needs a number", {}, "", false, 4, false, false},
        {{"--ports-from"}, "--ports-from needs a value", {}, "", false, 4, false, false},
        {{"--all=yes"}, "--all takes no value", {}, "", false, 4, false, false},
        // A limit makes even one printer a fleet run: the parent enforces it.
        {{"--port", "127.0.0.2", "--timeout", "600"}, nullptr, {"127.0.0.2"}, "", false, 4, false, true},
        {{"--port", "127.0.0.2", "--max-failures=1"}, nullptr, {"127.0.0.2"}, "", false, 4, false, true},
        {{"--timeout", "0"}, "--timeout needs a number from 1 to 86400", {}, "", false, 4, false, false},
        {{"--timeout", "86401"}, "--timeout needs a number from 1 to 86400", {}, "", false, 4, false, false},
        {{"--timeout", "1.5"}, "--timeout needs a number", {}, "", false, 4, false, false},
        {{"--max-failures", "-1"}, "--max-failures needs a number from 1 to 10000", {}, "", false, 4, false, false},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const char* psz : c.args) line += std::string(psz) + " ";
        CliOptions options;
        std::string error;
        bool bOk = ParseCliOptions(static_cast<int>(c.args.size()), c.args.data(), &options, &error);
        ASSERT_EQ(bOk, c.pszError == nullptr) << line << " -> " << error;
        if (!bOk) {
            EXPECT_NE(error.find(c.pszError), std::string::npos) << line << " -> " << error;
            continue;
        }
        EXPECT_EQ(options.ports, c.ports) << line;
        EXPECT_EQ(options.strPortsFrom, c.strPortsFrom) << line;
        EXPECT_EQ(options.bAll, c.bAll) << line;
        EXPECT_EQ(options.nParallel, c.nParallel) << line;
        EXPECT_EQ(options.bFleetChild, c.bFleetChild) << line;
        EXPECT_EQ(IsFleetRun(options), c.bFleet) << line;
    }
}

TEST(FleetPorts, FileLinesCommentsAndRepeats) {
    std::vector<std::string> ports{"127.0.0.2"};
    std::string error;
    ASSERT_TRUE(ParsePortsText("# kitchen\n127.0.0.3\n  127.0.0.4  # bar\r\n\n127.0.0.2\n   \n127.0.0.5", PORT_KIND_LAN,
                               &ports, &error))
        << error;
    EXPECT_EQ(ports, (std::vector<std::string>{"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"}));
}

// Each line is checked for the kind before anything starts; the error names the line.
TEST(FleetPorts, LinesThatNameNoPortOfTheKind) {
    const std::string longName(PORT_NAME_MAX + 1, 'x');
    struct Case {
        int nKind;
        std::string text;
        const char* pszError;  // null: accepted
    } cases[] = {
        {PORT_KIND_LAN, "127.0.0.2\n" + longName + "\n", "line 2: port name longer than"},
        {PORT_KIND_LAN, "127.0.0.2\n\nprinter-in-the-bar\n", "line 3: 'printer-in-the-bar' is no Ethernet port"},
        {PORT_KIND_LAN, "127.0.0.300\n", "line 1: '127.0.0.300' is no Ethernet port"},
        {PORT_KIND_LAN, "127.0.0.2 127.0.0.3\n", "line 1: a port name has no blanks"},
        {PORT_KIND_LAN, "127.0.0.2\033]0;x\a\n", "line 1: a port name has no blanks, control characters"},
        {PORT_KIND_USB, "USB001\nUSB2\n", "line 2: 'USB2' is no USB port"},
        {PORT_KIND_USB, "USB001\nusb012\n", nullptr},
        {PORT_KIND_BLUETOOTH, "02:00:00:12:34:56\n02:00:00:12:34\n", "line 2: '02:00:00:12:34' is no Bluetooth port"},
        {PORT_KIND_SERIAL, "ttyS0\nttyUSB1\n", nullptr},
        {PORT_KIND_SERIAL, "ttyS0\n../../etc/passwd\n", "line 2: a port name has no blanks, control characters or '/'"},
        {-1, "127.0.0.2\nttyS0\nUSB001\n", nullptr},
    };
    for (const Case& c : cases) {
        std::vector<std::string> ports;
        std::string error;
        bool bOk = ParsePortsText(c.text, c.nKind, &ports, &error);
        EXPECT_EQ(bOk, c.pszError == nullptr) << c.text << " -> " << error;
        if (c.pszError != nullptr) {
            EXPECT_TRUE(error.starts_with(c.pszError)) << c.text << " -> " << error;
            // Nothing of the line reaches a terminal as a control character.
            for (char ch : error) EXPECT_GE(static_cast<unsigned char>(ch), 0x20u) << error;
        }
    }
}

TEST(FleetPorts, AllNeedsAKindAndSomethingToUpdate) {
    CliOptions options;
    std::vector<std::string> ports;
    std::string error;
    options.bAll = true;
    EXPECT_FALSE(CollectFleetPorts(options, {}, &ports, &error));
    EXPECT_EQ(error, "--all needs --kind");
    options.nKind = PORT_KIND_USB;
    EXPECT_FALSE(CollectFleetPorts(options, {}, &ports, &error));
    EXPECT_EQ(error, "this program cannot search for USB printers yet");
    options.bAll = false;
    options.strPortsFrom = "/nonexistent/ports";
    EXPECT_FALSE(CollectFleetPorts(options, {}, &ports, &error));
    EXPECT_NE(error.find("cannot read /nonexistent/ports"), std::string::npos) << error;
}

TEST(FleetChild, CommandLineCarriesTheRunsChoices) {
    CliOptions options;
    EXPECT_EQ(FleetChildArgs("/usr/bin/kelvo-cli", options, "127.0.0.2"),
              (std::vector<std::string>{"/usr/bin/kelvo-cli", "--port", "127.0.0.2", "--json"}));
    options.nKind = PORT_KIND_LAN;
    options.bForce = options.bYes = options.bCheck = true;
    EXPECT_EQ(FleetChildArgs("k", options, "p"),
              (std::vector<std::string>{"k", "--port", "p", "--json", "--kind", "Ethernet", "--force",
                                        "--check", "--yes"}));
}

// What TakeFleetChannel says in a process whose descriptor 3 is set up by the case, in a
// forked child of this one (the parent of that child made the socket pair, or not).
TEST(FleetChannel, OnlyAParentsGreetingOnDescriptorThreeMakesAChild) {
    enum class Setup { Nothing, PlainFile, PairWithGreeting, PairWithoutGreeting, PairOfItsOwn };
    struct Case {
        Setup setup;
        FleetChannel expected;
    } cases[] = {
        {Setup::Nothing, FleetChannel::None},
        {Setup::PlainFile, FleetChannel::None},
        {Setup::PairWithGreeting, FleetChannel::Child},
        {Setup::PairWithoutGreeting, FleetChannel::None},
        // A pair it made itself says hello from itself, not from its parent.
        {Setup::PairOfItsOwn, FleetChannel::ParentGone},
    };
    const std::string greeting = "kelvo-fleet-child 1\n";
    for (const Case& c : cases) {
        int pair[2] = {-1, -1};
        if (c.setup == Setup::PairWithGreeting || c.setup == Setup::PairWithoutGreeting) {
            ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
            if (c.setup == Setup::PairWithGreeting) {
                ASSERT_EQ(::send(pair[0], greeting.data(), greeting.size(), 0), static_cast<ssize_t>(greeting.size()));
            }
        }
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(3);
            if (c.setup == Setup::PlainFile) ::open("/dev/null", O_RDONLY);
            if (pair[1] >= 0) ::dup2(pair[1], 3);
            if (c.setup == Setup::PairOfItsOwn) {
                int own[2];
                if (::socketpair(AF_UNIX, SOCK_STREAM, 0, own) != 0) ::_exit(100);
                if (::send(own[0], greeting.data(), greeting.size(), 0) < 0) ::_exit(101);
                ::dup2(own[1], 3);
            }
            ::_exit(static_cast<int>(TakeFleetChannel()));
        }
        int nStatus = 0;
        ASSERT_EQ(::waitpid(pid, &nStatus, 0), pid);
        ASSERT_TRUE(WIFEXITED(nStatus));
        EXPECT_EQ(WEXITSTATUS(nStatus), static_cast<int>(c.expected)) << static_cast<int>(c.setup);
        for (int fd : pair) {
            if (fd >= 0) ::close(fd);
        }
    }
}

// What --retry-failed takes from an earlier result: the ports of the printers that
// failed or did not start, checked as a ports file's lines are.
TEST(FleetRetry, FailedPortsOfAnEarlierResult) {
    const std::string fleet =
        "{\"results\":[{\"result\":0,\"exit_status\":0,\"port\":\"127.0.0.2\"},"
        "{\"result\":1242,\"exit_status\":2,\"port\":\"127.0.0.3\"},"
        "{\"result\":null,\"result_name\":null,\"exit_status\":1,\"kind\":null,\"port\":\"127.0.0.4\"},"
        "{\"result\":1223,\"exit_status\":3,\"kind\":\"Ethernet\",\"port\":\"127.0.0.5\",\"messages\":[\"Not started\"]},"
        "{\"exit_status\":137,\"port\":\"127.0.0.6\"}],"
        "\"summary\":{\"printers\":5,\"exit_status\":1}}\n";
    struct Case {
        std::string json;
        int nKind;
        std::vector<std::string> ports;  // the ports taken
        const char* pszError;            // null: accepted
    } cases[] = {
        {fleet, PORT_KIND_LAN, {"127.0.0.4", "127.0.0.5", "127.0.0.6"}, nullptr},
        {" {\"result\":1003,\"exit_status\":1,\"port\":\"127.0.0.9\"} ", -1, {"127.0.0.9"}, nullptr},
        {"{\"result\":0,\"exit_status\":0,\"port\":\"127.0.0.9\"}", -1, {}, nullptr},
        {fleet, PORT_KIND_USB, {}, "result 3: '127.0.0.4' is no USB port"},
        {"{\"results\":[{\"exit_status\":1}]}", -1, {}, "result 1 has no exit status or no port"},
        {"{\"results\":[{\"exit_status\":\"1\",\"port\":\"p\"}]}", -1, {}, "result 1 has no exit status"},
        {"{\"results\":[{\"exit_status\":1,\"port\":\"\\u001b[2J\"}]}", -1, {}, "result 1: a port name has no"},
        {"{\"summary\":{}}", -1, {}, "not a kelvo-cli --json result"},
        {"[1,2]", -1, {}, "not a kelvo-cli --json result"},
        {fleet.substr(0, fleet.size() / 2), -1, {}, "not a kelvo-cli --json result"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> ports;
        std::string error;
        bool bOk = FailedPortsOfResult(c.json, c.nKind, &ports, &error);
        EXPECT_EQ(bOk, c.pszError == nullptr) << c.json << " -> " << error;
        if (bOk) {
            EXPECT_EQ(ports, c.ports) << c.json;
        } else if (c.pszError != nullptr) {
            EXPECT_TRUE(error.starts_with(c.pszError)) << c.json << " -> " << error;
        }
    }
}

TEST(Json, ReadsWhatItWritesAndRefusesTheRest) {
    JsonObject object;
    object.Add("text", "a\"b\\c\n\x01\xc3\xa9").Add("n", std::int64_t{-42}).Add("yes", true).AddNull("none");
    object.Add("list", std::vector<std::string>{"x", "y"});
    JsonValue value;
    ASSERT_TRUE(ParseJson(object.Text(), &value)) << object.Text();
    ASSERT_NE(value.Find("text"), nullptr);
    EXPECT_EQ(value.Find("text")->text, "a\"b\\c\n\x01\xc3\xa9");
    EXPECT_EQ(value.Find("n")->dValue, -42);
    EXPECT_TRUE(value.Find("yes")->bValue);
    EXPECT_EQ(value.Find("none")->type, JsonValue::Type::Null);
    ASSERT_EQ(value.Find("list")->items.size(), 2u);
    EXPECT_EQ(value.Find("list")->items[1].text, "y");
    EXPECT_EQ(value.Find("absent"), nullptr);

    ASSERT_TRUE(ParseJson("\"\\ud83d\\ude00 \\ud800\"", &value));
    EXPECT_EQ(value.text, "\xf0\x9f\x98\x80 \xef\xbf\xbd");  // a pair joined, a lone half replaced
    for (const char* psz : {"", "{", "{\"a\":}", "[1,]", "01", "1.", "-", "\"\x01\"", "\"\\x\"", "\"\xff\"", "tru",
                            "{} {}", "{\"a\" 1}", "nul"}) {
        EXPECT_FALSE(ParseJson(psz, &value)) << psz;
    }
    EXPECT_TRUE(ParseJson(std::string(64, '[') + std::string(64, ']'), &value));
    EXPECT_FALSE(ParseJson(std::string(100000, '[') + std::string(100000, ']'), &value));
}

// A recorded fleet: updated, current, one whose new firmware did not start, one timed
// out, one cancelled. A failure shows why and where its log is, under its row.
TEST(FleetResult, SummaryTableInColumns) {
    std::vector<FleetResult> results{
        {"127.0.0.2", 0,
         "{\"result\":0,\"result_name\":\"ERROR_SUCCESS\",\"exit_status\":0,\"model\":\"KV-T34\",\"firmware_before\":"
         "\"VER2205\",\"firmware_after\":\"VER2207\",\"sent\":[\"FW\",\"KF\"],\"duration_ms\":31400,"
         "\"result_text\":\"The printer was updated.\"}",
         "Ethernet"},
        {"127.0.0.30", 2,
         "{\"result\":1242,\"result_name\":\"ERROR_ALREADY_REGISTERED\",\"exit_status\":2,\"model\":\"KV-T34\","
         "\"firmware_before\":\"VER2207\",\"firmware_after\":\"VER2207\",\"sent\":[],\"duration_ms\":900}",
         "Ethernet"},
        {"127.0.0.83", 1,
         "{\"result\":13,\"result_name\":\"ERROR_INVALID_DATA\",\"exit_status\":1,\"model\":\"KV-T34\","
         "\"firmware_before\":null,\"firmware_after\":\"VER2208\",\"sent\":[\"FW\"],\"duration_ms\":12000,"
         "\"result_text\":\"The printer answered something else than expected.\"}",
         "Ethernet"},
        {"127.0.0.4", 1,
         "{\"result\":1223,\"result_name\":\"ERROR_CANCELLED\",\"exit_status\":1,\"timed_out_after_s\":60,"
         "\"model\":\"KV-\\u001b[2J\",\"sent\":[\"FW\"],\"duration_ms\":60000,\"result_text\":\"Took too long.\\u001b[2J\"}",
         ""},
        {"127.0.0.5", 3, "{\"result\":1223,\"result_name\":\"ERROR_CANCELLED\",\"exit_status\":3,\"port\":\"127.0.0.5\"}", ""},
    };
    EXPECT_EQ(FleetSummaryTable(results, "/var/log/ZAQ/Logs"),
              "PORT        MODEL    FIRMWARE            SENT   RESULT                       TIME\n"
              "127.0.0.2   KV-T34   VER2205 -> VER2207  FW KF  updated                      31.4 s\n"
              "127.0.0.30  KV-T34   VER2207             -      current                      0.9 s\n"
              "127.0.0.83  KV-T34   unknown -> VER2208  FW     failed (ERROR_INVALID_DATA)  12.0 s\n"
              "  failed (ERROR_INVALID_DATA): The printer answered something else than expected. Log: "
              "/var/log/ZAQ/Logs/Kelvo-127.0.0.83.log\n"
              "127.0.0.4   KV-?[2J  -                   FW     timed out (ERROR_CANCELLED)  60.0 s\n"
              "  timed out: Took too long.?[2J Log: /var/log/ZAQ/Logs/Kelvo-127.0.0.4.log\n"
              "127.0.0.5   -        -                   -      cancelled (ERROR_CANCELLED)  -\n");
    // Without a known log folder the reason stands alone.
    std::string table = FleetSummaryTable({results[2]});
    EXPECT_NE(table.find("\n  failed (ERROR_INVALID_DATA): The printer answered something else than expected.\n"),
              std::string::npos)
        << table;
}

// The last fleet result lives in a folder only this user may write; a link or a folder
// others may write is never used, and a link in its place is replaced, not followed.
TEST(FleetResultFile, KeptOnlyInAFolderOfTheUsersOwn) {
    TempDir dir;
    ::setenv("XDG_STATE_HOME", (dir / "state").c_str(), 1);
    std::string path, error;
    ASSERT_EQ(LastFleetResultPath(&error), "");
    EXPECT_NE(error.find("no earlier fleet result in " + dir / "state/kelvo"), std::string::npos) << error;

    ASSERT_TRUE(SaveLastFleetResult("{\"results\":[]}", &path, &error)) << error;
    EXPECT_EQ(path, dir / "state/kelvo/last-fleet.json");
    EXPECT_EQ(TempDir::Read(path), "{\"results\":[]}\n");
    struct stat st {};
    ASSERT_EQ(::stat((dir / "state/kelvo").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(LastFleetResultPath(&error), path);

    // A link where the file was: replaced, its target left alone; a link is no result.
    dir.Write("elsewhere", "theirs");
    std::filesystem::remove(path);
    std::filesystem::create_symlink(dir / "elsewhere", path);
    EXPECT_EQ(LastFleetResultPath(&error), "");
    ASSERT_TRUE(SaveLastFleetResult("{}", &path, &error)) << error;
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    EXPECT_EQ(TempDir::Read(dir / "elsewhere"), "theirs");

    // A folder others may write, or a link to a folder: not used.
    ::chmod((dir / "state/kelvo").c_str(), 0770);
    EXPECT_FALSE(SaveLastFleetResult("{}", &path, &error));
    EXPECT_NE(error.find("only it may write"), std::string::npos) << error;
    EXPECT_EQ(LastFleetResultPath(&error), "");
    std::filesystem::rename(dir / "state/kelvo", dir / "state/other");
    ::chmod((dir / "state/other").c_str(), 0700);
    std::filesystem::create_directory_symlink(dir / "state/other", dir / "state/kelvo");
    EXPECT_FALSE(SaveLastFleetResult("{}", &path, &error));
    EXPECT_EQ(LastFleetResultPath(&error), "");
    ::unsetenv("XDG_STATE_HOME");
}

// --retry-failed takes a file when one follows it, else means the last fleet result.
TEST(FleetOptions, RetryFailedWithOrWithoutAFile) {
    struct Case {
        std::vector<const char*> args;
        std::string file;
    } cases[] = {
        {{"--retry-failed", "last.json"}, "last.json"},
        {{"--retry-failed=last.json", "--kind", "lan"}, "last.json"},
        {{"--retry-failed"}, ""},
        {{"--retry-failed", "--kind", "lan"}, ""},
        {{"--kind", "lan", "--retry-failed", "-j", "2"}, ""},
    };
    for (const Case& c : cases) {
        CliOptions options;
        std::string error;
        ASSERT_TRUE(ParseCliOptions(static_cast<int>(c.args.size()), c.args.data(), &options, &error)) << error;
        EXPECT_TRUE(options.bRetryFailed);
        EXPECT_EQ(options.strRetryFailed, c.file);
        EXPECT_TRUE(IsFleetRun(options));
    }
}

TEST(FleetResult, ExitStatusAndObject) {
    auto results = [](std::vector<int> statuses) {
        std::vector<FleetResult> list;
        for (int n : statuses) list.push_back({"p" + std::to_string(list.size()), n, "{\"exit_status\":" + std::to_string(n) + "}", ""});
        return list;
    };
    struct Case {
        std::vector<int> statuses;
        bool bCancelled;
        int nExpected;
    } cases[] = {
        {{0, 2, 0}, false, 0}, {{0, 1, 2}, false, 1}, {{0, 0, 3}, false, 1},
        {{0, 0, 0}, true, 3},  {{1}, true, 3},        {{0, 137}, false, 1},
        // Every printer current: as a single run that had nothing to do.
        {{2, 2, 2}, false, 2}, {{2}, false, 2},      {{2, 2}, true, 3},
    };
    for (const Case& c : cases) EXPECT_EQ(FleetExitStatus(results(c.statuses), c.bCancelled), c.nExpected);

    EXPECT_EQ(FleetJson(results({0, 1, 2, 0, 137}), 1, 4321),
              "{\"results\":[{\"exit_status\":0},{\"exit_status\":1},{\"exit_status\":2},{\"exit_status\":0},"
              "{\"exit_status\":137}],\"summary\":{\"printers\":5,\"exit_status\":1,"
              "\"by_exit_status\":{\"0\":2,\"1\":2,\"2\":1,\"3\":0},\"duration_ms\":4321}}");
}

}  // namespace

namespace {

// A result or ports file that no fleet can have written is refused before it is parsed:
// too large, too many printers, or not a plain file (a FIFO would hold the run).
TEST(FleetRetry, FilesNoFleetWroteAreRefusedBeforeParsing) {
    char folder[] = "/tmp/kelvo-fleet-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string dir = folder;
    std::string many = "{\"results\":[";
    for (std::size_t i = 0; i <= FLEET_PRINTERS_MAX; ++i) many += "{\"exit_status\":1,\"port\":\"127.0.0.9\"},";
    many.back() = ']';
    many += "}";
    struct Case {
        const char* pszName;
        std::string text;  // written to the file; empty: a FIFO
        const char* pszError;
    };
    const Case cases[] = {
        {"large.json", std::string(FLEET_FILE_MAX + 1, ' '), "more than a ports or result file can be (16 MiB)"},
        {"many.json", many, "10001 results: a fleet updates at most 10000 printers"},
        {"fifo.json", "", "is a FIFO, not a plain file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        const std::string path = dir + "/" + c.pszName;
        if (c.text.empty()) {
            ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
        } else {
            FILE* pFile = std::fopen(path.c_str(), "wb");
            ASSERT_NE(pFile, nullptr);
            std::fwrite(c.text.data(), 1, c.text.size(), pFile);
            std::fclose(pFile);
        }
        for (bool bRetry : {true, false}) {
            if (!bRetry && std::string(c.pszName) == "many.json") continue;  // a ports file has no results
            CliOptions options;
            (bRetry ? options.strRetryFailed : options.strPortsFrom) = path;
            std::vector<std::string> ports;
            std::string error;
            EXPECT_FALSE(CollectFleetPorts(options, {}, &ports, &error));
            EXPECT_NE(error.find(c.pszError), std::string::npos) << error;
        }
        ::unlink(path.c_str());
    }
    ::rmdir(folder);
}

// Ports given on the command line count towards the same limit.
TEST(FleetPorts, NoMoreThanAFleetsPrinters) {
    CliOptions options;
    for (std::size_t i = 0; i <= FLEET_PRINTERS_MAX; ++i) options.ports.push_back("127.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1));
    std::vector<std::string> ports;
    std::string error;
    EXPECT_FALSE(CollectFleetPorts(options, {}, &ports, &error));
    EXPECT_NE(error.find("a fleet run updates at most 10000"), std::string::npos) << error;
}

}  // namespace
