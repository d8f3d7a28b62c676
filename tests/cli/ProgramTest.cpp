// kelvo-cli as a whole program: options, exit statuses, JSON, discovery in a namespace.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/SingleInstance.h"
#include "sim/Sim.h"
#include "support/NetNs.h"
#include "support/TempDir.h"
#include "RunProgram.h"

namespace {

const std::string kCli = KELVO_CLI_EXE;
const std::string kSim = KELVO_SIM_EXE;
constexpr const char* kModelRow = "32,\"KV-T32\",M|K,IF_TCP,0\n";  // Type ID 0x20, LAN only

// "ip" runs the program inside a namespace; posix_spawn needs its full path.
std::string IpProgram() {
    for (const char* psz : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (::access(psz, X_OK) == 0) return psz;
    }
    return "ip";
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* psz : {"work", "config", "run", "root/var/log"}) std::filesystem::create_directories(m_dir / psz);
        m_env = {{"XDG_CONFIG_HOME", m_dir / "config"},
                 {"XDG_RUNTIME_DIR", m_dir / "run"},
                 {"KELVO_SYSROOT", m_dir / "root"},
                 {"LC_ALL", "C"},
                 {"KELVO_LAN_PORTS", ""}};
    }
    ProgramResult Cli(std::vector<std::string> args, const std::string& netns = "") {
        args.insert(args.begin(), kCli);
        if (!netns.empty()) args.insert(args.begin(), {IpProgram(), "netns", "exec", netns});
        return RunProgram(args, m_env, m_dir / "work");
    }
    void MakeUpdate(const std::vector<std::string>& flags) {
        std::vector<std::string> args{kSim, "make-update"};
        args.insert(args.end(), flags.begin(), flags.end());
        ProgramResult r = RunProgram(args, m_env, m_dir / "work");
        ASSERT_EQ(r.nStatus, 0) << r.err;
    }
    std::string Log() const { return TempDir::Read(m_dir / "root/var/log/ZAQ/Logs/Kelvo.log"); }

    TempDir m_dir;
    std::map<std::string, std::string> m_env;
};

TEST_F(ProgramTest, HelpAndVersion) {
    ProgramResult help = Cli({"--help"});
    EXPECT_EQ(help.nStatus, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: kelvo-cli [options]\n")) << help.out;
    for (const char* psz : {"--dir", "--kind", "--port", "--list", "--force", "--yes", "--json", "--help", "--version",
                            "Exit status: 0 updated, 2 nothing needed updating, 3 cancelled, 1"}) {
        EXPECT_TRUE(Contains(help.out, psz)) << psz;
    }
    EXPECT_EQ(help.err, "");
    ProgramResult version = Cli({"--version"});
    EXPECT_EQ(version.nStatus, 0);
    EXPECT_EQ(version.out, std::string("kelvo-cli ") + KELVO_VERSION + "\n");
}

TEST_F(ProgramTest, BadOptionsEndWithStatusOneAndNothingOnStdout) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--kind", "wifi"}, {"--frobnicate"}, {"usb"}}) {
        ProgramResult r = Cli(args);
        EXPECT_EQ(r.nStatus, 1) << args[0];
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(Contains(r.err, "Try 'kelvo-cli --help'.")) << r.err;
    }
}

TEST_F(ProgramTest, FailuresBeforeAnyPrinterIsReachedGiveStatusOneWithTheirResult) {
    const struct {
        const char* pszConfig;  // null: none
        std::vector<std::string> args;
        long long nResult;
        const char* pszResultName;
        const char* pszMessage;
    } cases[] = {
        {nullptr, {"--kind", "lan", "--port", "127.0.0.2"}, 1610, "ERROR_BAD_CONFIGURATION",
         "ZAQ Kelvo: Can't open configuration file."},
        {kModelRow, {"--kind", "usb", "--port", "USB001"}, 1801, "ERROR_INVALID_PRINTER_NAME",
         "ZAQ Kelvo: Specified port is not supported.\n\nErrorCode = [ 050902, 20000490 ]"},
        {kModelRow, {"--dir", "missing", "--kind", "lan"}, 2, "ERROR_FILE_NOT_FOUND", "Cannot work in missing"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(m_dir / "work/config.ini");
        if (c.pszConfig != nullptr) {
            m_dir.Write("work/config.ini", c.pszConfig);
            MakeUpdate({"--kind=FW", "--type-id=20", "--rom-id=07", "--size=5000"});
        }
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        ProgramResult r = Cli(args);
        EXPECT_EQ(r.nStatus, 1) << c.nResult;
        EXPECT_TRUE(r.out.starts_with("{\"result\":" + std::to_string(c.nResult) + ",\"result_name\":\"" +
                                      c.pszResultName + "\",\"exit_status\":1,"))
            << r.out;
        EXPECT_TRUE(r.out.ends_with("}\n"));
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;  // one object, one line
        EXPECT_TRUE(Contains(r.err, c.pszMessage)) << r.err;
        EXPECT_TRUE(Contains(r.err, "kelvo-cli: result " + std::to_string(c.nResult) + " (" + c.pszResultName +
                                        "), exit status 1\n"))
            << r.err;
    }
}

TEST_F(ProgramTest, SecondInstanceIsAFailureNotASuccess) {
    m_dir.Write("work/config.ini", kModelRow);
    CInstanceLock first;
    ASSERT_TRUE(first.Acquire(m_dir / "run/____ZAQ_FW_UPDATE____.lock"));
    ProgramResult r = Cli({"--kind", "lan", "--port", "127.0.0.2", "--json"});
    EXPECT_EQ(r.nStatus, 1);
    EXPECT_TRUE(r.out.starts_with("{\"result\":183,\"result_name\":\"ERROR_ALREADY_EXISTS\",")) << r.out;
    EXPECT_TRUE(Contains(r.err, "Another Kelvo update is running on this machine.")) << r.err;
}

TEST_F(ProgramTest, OutputNobodyReadsDoesNotEndTheProgram) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    ::close(fds[0]);  // stderr leads nowhere: every write to it fails with EPIPE
    ProgramResult r = RunProgram({kCli, "--kind", "lan", "--port", "127.0.0.2", "--json"}, m_env, m_dir / "work", fds[1]);
    ::close(fds[1]);
    EXPECT_EQ(r.nStatus, 1);  // the missing config.ini, not SIGPIPE
    EXPECT_TRUE(r.out.starts_with("{\"result\":1610,")) << r.out;
}

TEST_F(ProgramTest, ListThatFindsNothingIsEmptyWithAMessage) {
    // No usblp node under the test's system root.
    ProgramResult r = Cli({"--kind", "usb", "--list"});
    EXPECT_EQ(r.nStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(Contains(r.err, "No port or printer found.")) << r.err;
    ProgramResult noKind = Cli({"--list"});
    EXPECT_EQ(noKind.nStatus, 1);
    EXPECT_TRUE(Contains(noKind.err, "--list needs --kind")) << noKind.err;
}

// Broadcast discovery: kelvo-cli in one namespace, the simulated printer in another.
class ProgramNetnsTest : public ProgramTest {
protected:
    void SetUp() override {
        if (!m_net.ok) GTEST_SKIP() << "needs root to make network namespaces (ip netns); not run here";
        ProgramTest::SetUp();
        ASSERT_TRUE(m_net.near.Ip("addr add 192.168.10.5/24 dev " + m_net.nearIf));
        ASSERT_TRUE(m_net.far.Ip("addr add 192.168.10.7/24 dev " + m_net.farIf));
    }
    void StartPrinter() {
        sim::Config config;
        config.timing = sim::Timing::Fast();
        config.lan.szAddress = "192.168.10.7";
        config.lan.bDiscoveryAny = true;
        config.state.bTypeId = 0x20;
        config.state.szName = "Counter 2";
        config.state.mac = {0x02, 0x4B, 0x56, 0xAB, 0xCD, 0xEF};
        ASSERT_TRUE(m_net.far.RunInside([&] {
            m_printer = std::make_unique<sim::Printer>(config);
            ASSERT_TRUE(m_printer->Start());
        }));
    }

    TestNetnsPair m_net;
    std::unique_ptr<sim::Printer> m_printer;
};

TEST_F(ProgramNetnsTest, ListPrintsThePortLineOfTheSimulatedPrinter) {
    StartPrinter();
    ProgramResult r = Cli({"--kind", "LAN", "--list"}, m_net.near.Name());
    EXPECT_EQ(r.nStatus, 0) << r.err;
    EXPECT_EQ(r.out, "192.168.10.7\t [\"Counter 2\", 02:4B:56:AB:CD:EF]\n");
    EXPECT_TRUE(m_printer->WaitForEvent("discovery", 1000));
}

TEST_F(ProgramNetnsTest, ListWithNoPrinterAnsweringIsEmpty) {
    ProgramResult r = Cli({"--kind", "ethernet", "--list"}, m_net.near.Name());
    EXPECT_EQ(r.nStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(Contains(r.err, "No port or printer found.")) << r.err;
}

TEST_F(ProgramNetnsTest, WithoutPortTheOnePrinterFoundIsTaken) {
    StartPrinter();
    m_dir.Write("work/config.ini", kModelRow);
    MakeUpdate({"--kind=FW", "--type-id=20", "--rom-id=05", "--size=5000"});
    ProgramResult r = Cli({"--kind", "lan", "--json"}, m_net.near.Name());
    EXPECT_TRUE(Contains(r.err, "Found 192.168.10.7\t [\"Counter 2\", 02:4B:56:AB:CD:EF]")) << r.err;
    EXPECT_TRUE(Contains(r.out, "\"kind\":\"Ethernet\",\"port\":\"192.168.10.7\"")) << r.out;
    // The printer found runs the file's firmware already.
    EXPECT_EQ(r.nStatus, 2) << r.err;
    EXPECT_TRUE(r.out.starts_with("{\"result\":1242,")) << r.out;
}

}  // namespace
