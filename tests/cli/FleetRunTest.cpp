// kelvo-cli over five simulated LAN printers at once: each on an address of its own,
// the services (python3-dbusmock's systemd, a CUPS stand-in) stopped once around all
// the runs, one log file per printer, one result per printer in the JSON object.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <dirent.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "FakeCups.h"
#include "MockSystemd.h"
#include "cli/Json.h"
#include "cli/ResultName.h"
#include "UpdateRun.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"
#include "system/Service.h"

namespace cli_test {
namespace {

constexpr int kPrinters = 5;

class FleetRunTest : public UpdateRunTest {
protected:
    void SetUp() override {
        UpdateRunTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(m_systemd.Ok()) << m_systemd.Error();
        for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
            ASSERT_TRUE(m_systemd.AddRunningUnit(pszUnit));
        }
    }
    // The printers share their port numbers (the driver takes one pair from
    // KELVO_LAN_PORTS for every printer); the first one's are free ones the kernel chose.
    void StartPrinters(BYTE bRomId, int nFaulty, const sim::Faults& faults) {
        for (int i = 0; i < kPrinters; ++i) {
            sim::Config config;
            config.state.bTypeId = kTypeId;
            config.state.bRomId = bRomId;
            config.faults = faults;
            if (i == nFaulty) config.faults.nWrongRomId = 0x08;  // the new firmware does not start
            StartPrinter(config);
        }
    }
    // One more printer on a fresh address, on the first one's port numbers.
    void StartPrinter(const sim::Config& config) {
        std::string address = UniqueAddress();
        WORD wData = m_printers.empty() ? 0 : m_printers.front()->DataPort();
        WORD wStatus = m_printers.empty() ? 0 : m_printers.front()->StatusPort();
        std::unique_ptr<sim::Printer> printer = StartLanPrinter(config, address, wData, wStatus);
        ASSERT_TRUE(printer) << address;
        // The transcript's clock starts with its first entry, at the start.
        m_starts.push_back(GetTickCount());
        m_printers.push_back(std::move(printer));
        m_addresses.push_back(address);
        m_env["KELVO_LAN_PORTS"] = LanPortsOf(*m_printers.front());
    }
    void StartPrinter(BYTE bTypeId, BYTE bRomId) {
        sim::Config config;
        config.state.bTypeId = bTypeId;
        config.state.bRomId = bRomId;
        StartPrinter(config);
    }
    std::vector<std::string> FleetArgs(std::vector<std::string> args) const {
        for (const std::string& address : m_addresses) {
            args.push_back("--port");
            args.push_back(address);
        }
        return args;
    }
    std::string LogFolder() const { return m_dir / "root/var/log/ZAQ/Logs"; }
    // No queue prints to the printers: the spooler is left alone, the POS service goes
    // down once and up once.
    void ExpectServicesStoppedOnceWithoutSpooler() {
        EXPECT_EQ(m_systemd.CallsFor("StopUnit", kSpoolerUnit), 0);
        EXPECT_EQ(m_systemd.CallsFor("StartUnit", kSpoolerUnit), 0);
        EXPECT_EQ(m_systemd.CallsFor("StopUnit", kPosServiceUnit), 1);
        EXPECT_EQ(m_systemd.CallsFor("StartUnit", kPosServiceUnit), 1);
        for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit})
            EXPECT_EQ(m_systemd.ActiveState(pszUnit), "active") << pszUnit;
    }

    MockSystemd m_systemd;
    std::vector<std::unique_ptr<sim::Printer>> m_printers;
    std::vector<DWORD> m_starts;
    std::vector<std::string> m_addresses;
};

// /proc/PID/stat; empty once the process is gone (it may go while it is read).
std::string ProcStat(const std::string& pid) {
    UniqueFd fd(::open(("/proc/" + pid + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
    char buffer[1024];
    ssize_t n = fd ? ::read(fd.Get(), buffer, sizeof buffer) : -1;
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// The processes whose parent is pid, and whether one still runs (a zombie has ended).
std::vector<pid_t> ChildrenOf(pid_t pid) {
    std::vector<pid_t> children;
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), &::closedir);
    while (dirent* pEntry = proc ? ::readdir(proc.get()) : nullptr) {
        std::string name = pEntry->d_name;
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::string stat = ProcStat(name);
        if (stat.rfind(')') == std::string::npos) continue;
        std::istringstream fields(stat.substr(stat.rfind(')') + 1));
        std::string state;
        pid_t parent = 0;
        if (fields >> state >> parent && parent == pid) children.push_back(static_cast<pid_t>(std::stoi(name)));
    }
    return children;
}

bool Runs(pid_t pid) {
    std::string stat = ProcStat(std::to_string(pid));
    std::size_t nClose = stat.rfind(')');
    return nClose != std::string::npos && nClose + 2 < stat.size() && stat[nClose + 2] != 'Z';
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

TEST_F(FleetRunTest, FivePrintersThreeAtOnceServicesStoppedOnce) {
    sim::MadeFile fw = MakeFile("FW", 0x07, 30000);
    sim::Faults slow;
    slow.dwReadRate = 60000;  // half a second of transfer: the runs meet
    const int nFaulty = 3;
    StartPrinters(0x05, nFaulty, slow);
    std::vector<std::string> uris;
    for (const std::string& address : m_addresses) uris.push_back("socket://" + address + ":9100");
    FakeCups cups(uris);
    ASSERT_TRUE(cups.Ok());

    ProgramResult r = Cli(FleetArgs({"--kind", "lan", "--parallel", "3", "--json"}));
    EXPECT_EQ(r.nStatus, 1) << r.err;

    // Every image arrived whole; all but the faulty printer now run it.
    const std::string sent = TempDir::Read(fw.szPath);
    for (int i = 0; i < kPrinters; ++i) {
        SCOPED_TRACE(m_addresses[i]);
        std::vector<BYTE> got = m_printers[i]->LastTransferImage();
        ASSERT_EQ(got.size(), sent.size());
        EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin(),
                               [](BYTE a, char b) { return a == static_cast<BYTE>(b); }));
        EXPECT_EQ(m_printers[i]->State().bRomId, i == nFaulty ? 0x08 : 0x07);
    }

    // Never more than three transfers at once, on one clock.
    std::vector<std::pair<DWORD, int>> edges;  // time, +1 begin / -1 end
    for (int i = 0; i < kPrinters; ++i) {
        for (const sim::SimEvent& e : m_printers[i]->Transcript()) {
            if (e.szName == "transfer_begin") edges.emplace_back(m_starts[i] + e.dwMs, +1);
            if (e.szName == "transfer_end") edges.emplace_back(m_starts[i] + e.dwMs, -1);
        }
    }
    ASSERT_EQ(edges.size(), 2u * kPrinters);
    std::sort(edges.begin(), edges.end());  // at one instant an end sorts before a begin
    int nNow = 0, nMost = 0;
    for (const auto& [dwAt, nStep] : edges) nMost = std::max(nMost, nNow += nStep);
    EXPECT_LE(nMost, 3);
    EXPECT_GE(nMost, 1);

    // The services went down once before the first run and up once after the last.
    for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
        EXPECT_EQ(m_systemd.CallsFor("StopUnit", pszUnit), 1) << pszUnit;
        EXPECT_EQ(m_systemd.CallsFor("StartUnit", pszUnit), 1) << pszUnit;
        EXPECT_EQ(m_systemd.ActiveState(pszUnit), "active") << pszUnit;
    }

    // One object: five results, each the object of a single run, and the summary.
    EXPECT_TRUE(r.out.starts_with("{\"results\":[{\"result\":")) << r.out;
    EXPECT_EQ(Count(r.out, "{\"result\":"), static_cast<std::size_t>(kPrinters)) << r.out;
    for (int i = 0; i < kPrinters; ++i) {
        std::string head = i == nFaulty ? "\"exit_status\":1," : "\"result\":0,\"result_name\":\"ERROR_SUCCESS\",\"exit_status\":0,";
        EXPECT_EQ(Count(r.out, head + "\"model\":\"KV-T34\",\"type_id\":34,\"kind\":\"Ethernet\",\"port\":\"" +
                                   m_addresses[i] + "\""),
                  1u)
            << m_addresses[i] << "\n" << r.out;
    }
    EXPECT_TRUE(Contains(r.out, "\"summary\":{\"printers\":5,\"exit_status\":1,"
                                "\"by_exit_status\":{\"0\":4,\"1\":1,\"2\":0,\"3\":0},\"duration_ms\":"))
        << r.out;
    EXPECT_TRUE(r.out.ends_with("}}\n")) << r.out;
    // Plain lines, each with its printer in front.
    EXPECT_FALSE(Contains(r.err, "\033[")) << r.err;
    // The failed printer's line and the table say why and where its log is.
    const std::string why = "failed (ERROR_INVALID_DATA): " + ResultSentence(ERROR_INVALID_DATA) + " Log: " + LogFolder() +
                            "/Kelvo-" + m_addresses[nFaulty] + ".log\n";
    EXPECT_TRUE(Contains(r.err, m_addresses[nFaulty] + ": " + why)) << r.err;
    EXPECT_TRUE(Contains(r.err, "\n  " + why)) << r.err;
    EXPECT_TRUE(Contains(r.err, "kelvo-cli: 5 printers: 4 updated, 0 current, 1 failed, 0 cancelled\n")) << r.err;
    // The result is kept for --retry-failed, and said where: the object --json printed.
    const std::string kept = m_dir / "state/kelvo/last-fleet.json";
    EXPECT_TRUE(Contains(r.err, "kelvo-cli: the result is kept in " + kept + "; --retry-failed")) << r.err;
    EXPECT_EQ(TempDir::Read(kept), r.out);

    // Each run logged to a file of its own, started afresh after a success as Kelvo.log
    // is; the failed run's record stays whole. The parent logged the fleet run.
    for (int i = 0; i < kPrinters; ++i) {
        std::string log = TempDir::Read(LogFolder() + "/Kelvo-" + m_addresses[i] + ".log");
        if (i == nFaulty) {
            EXPECT_TRUE(Contains(log, "Open port [" + m_addresses[i] + "]")) << log;
            EXPECT_FALSE(Contains(log, "Result code [0]")) << log;
        } else {
            EXPECT_TRUE(Contains(log, "Result code [0], exit status [0]")) << m_addresses[i] << "\n" << log;
            EXPECT_FALSE(Contains(log, "Open port [")) << m_addresses[i] << "\n" << log;
        }
        for (int j = 0; j < kPrinters; ++j) {
            if (j != i) {
                EXPECT_FALSE(Contains(log, "[" + m_addresses[j] + "]")) << m_addresses[i];
            }
        }
        EXPECT_EQ(Contains(log, "ROM ID [08], expected [07]"), i == nFaulty) << m_addresses[i];
    }
    std::string parentLog = TempDir::Read(LogFolder() + "/Kelvo.log");
    EXPECT_TRUE(Contains(parentLog, "[[[ Fleet run: 5 printers, at most 3 at once ]]]")) << parentLog;
    EXPECT_TRUE(Contains(parentLog, "Update of [" + m_addresses[nFaulty] + "] ended: exit status 1")) << parentLog;
    EXPECT_FALSE(Contains(parentLog, "Open port [")) << parentLog;
}

TEST_F(FleetRunTest, InterruptCancelsEveryRunAndStartsTheServicesOnce) {
    MakeFile("FW", 0x07, 400000);
    sim::Faults slow;
    slow.dwReadRate = 20000;  // twenty seconds of transfer: time to interrupt
    StartPrinters(0x05, -1, slow);
    bool bInterrupted = false;
    ProgramResult r = RunProgram({kCli, "--kind", "lan", "--parallel", "2", "--json", "--port", m_addresses[0], "--port",
                                  m_addresses[1], "--port", m_addresses[2]},
                                 m_env, m_dir / "work", -1, -1, [&](pid_t pid) {
                                     // Both running printers are sending when the user interrupts.
                                     if (m_printers[0]->WaitForEvent("transfer_begin", 60000) &&
                                         m_printers[1]->WaitForEvent("transfer_begin", 60000)) {
                                         bInterrupted = ::kill(pid, SIGINT) == 0;
                                     }
                                 });
    ASSERT_TRUE(bInterrupted) << r.err;
    EXPECT_EQ(r.nStatus, 3) << r.err;
    EXPECT_TRUE(Contains(r.err, "Cancelling every update... Interrupt again to quit sooner.\n")) << r.err;
    // The two runs ended cancelled; the third never started.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Count(r.out, "{\"result\":1223,\"result_name\":\"ERROR_CANCELLED\",\"exit_status\":3,\"model\":"
                               "\"KV-T34\",\"type_id\":34,\"kind\":\"Ethernet\",\"port\":\"" +
                                   m_addresses[i] + "\""),
                  1u)
            << r.out;
        EXPECT_EQ(m_printers[i]->State().bRomId, 0x05);
    }
    EXPECT_TRUE(Contains(r.out, "{\"result\":1223,\"result_name\":\"ERROR_CANCELLED\",\"exit_status\":3,\"kind\":"
                                "\"Ethernet\",\"port\":\"" +
                                    m_addresses[2] + "\",\"messages\":[\"Not started: the run was cancelled\"],"
                                    "\"result_text\":\"Not started: the fleet run was cancelled before this printer's turn.\"}"))
        << r.out;
    // Checked with the others before any update, then never sent to.
    std::vector<sim::SimEvent> third = m_printers[2]->Transcript();
    EXPECT_TRUE(std::any_of(third.begin(), third.end(), [](const sim::SimEvent& e) { return e.szName == "command"; }));
    EXPECT_TRUE(std::none_of(third.begin(), third.end(), [](const sim::SimEvent& e) { return e.szName == "transfer_begin"; }));
    EXPECT_TRUE(Contains(r.out, "\"by_exit_status\":{\"0\":0,\"1\":0,\"2\":0,\"3\":3}")) << r.out;
    ExpectServicesStoppedOnceWithoutSpooler();
}

TEST_F(FleetRunTest, SecondInterruptInTheRestartWaitQuitsEveryRun) {
    // A model that rewrites its flash after a transfer: a restart wait a cancel does not cut short.
    m_dir.Write("work/config.ini", "34,\"KV-34\",M,IF_TCP,REWRITE_AFTER_SEND\n");
    MakeFile("FW", 0x07, 30000);
    StartPrinters(0x05, -1, {});
    const std::string parentLog = LogFolder() + "/Kelvo.log";
    bool bFirst = false, bSecond = false;
    ProgramResult r = RunProgram({kCli, "--kind", "lan", "--parallel", "2", "--port", m_addresses[0], "--port",
                                  m_addresses[1]},
                                 m_env, m_dir / "work", -1, -1, [&](pid_t pid) {
                                     if (!m_printers[0]->WaitForEvent("restart_begin", 60000) ||
                                         !m_printers[1]->WaitForEvent("restart_begin", 60000)) {
                                         return;
                                     }
                                     bFirst = ::kill(pid, SIGINT) == 0;
                                     // Signals do not queue: the second goes out only once the
                                     // parent and each run have taken the first.
                                     auto taken = [&](const std::string& log) {
                                         return Contains(TempDir::Read(log), "Interrupted by the user [1]");
                                     };
                                     Deadline deadline(30000);
                                     while (!deadline.Expired() &&
                                            !(taken(parentLog) && taken(LogFolder() + "/Kelvo-" + m_addresses[0] + ".log") &&
                                              taken(LogFolder() + "/Kelvo-" + m_addresses[1] + ".log"))) {
                                         Sleep(10);
                                     }
                                     bSecond = !deadline.Expired() && ::kill(pid, SIGINT) == 0;
                                 });
    ASSERT_TRUE(bFirst && bSecond) << r.err;
    EXPECT_EQ(r.nStatus, 3) << r.err;
    EXPECT_TRUE(Contains(r.err, "Quitting: each update restores what it changed, then the services start again...\n"))
        << r.err;
    for (int i = 0; i < 2; ++i) {
        // Each run said what it waits for at the first interrupt, and quit at the second.
        EXPECT_TRUE(Contains(r.err, m_addresses[i] + ": Cancelling... waiting up to ")) << r.err;
        EXPECT_TRUE(Contains(r.err, m_addresses[i] + ": Quitting: ")) << r.err;
        EXPECT_TRUE(Contains(r.err, m_addresses[i] + ": cancelled\n")) << r.err;
    }
    ExpectServicesStoppedOnceWithoutSpooler();
}

TEST_F(FleetRunTest, OnATerminalOneLinePerPrinterRedrawnInPlace) {
    MakeFile("FW", 0x07, 20000);
    StartPrinters(0x07, -1, {});  // current firmware: each run ends 2, and so does the fleet
    std::ofstream(m_dir / "work/ports.txt") << "# the bar\n" << m_addresses[0] << "\n" << m_addresses[1] << "  # till\n";
    TestPty terminal;
    ASSERT_TRUE(terminal.Ok());
    ProgramResult r = Cli({"--kind", "lan", "--ports-from", "ports.txt"}, &terminal);
    EXPECT_EQ(r.nStatus, 2) << r.err;
    // The block of two lines is drawn again from its top, each line with its printer.
    EXPECT_TRUE(Contains(r.err, "\033[2A\r\033[K" + m_addresses[0] + "  ")) << r.err;
    EXPECT_TRUE(Contains(r.err, "\r\033[K" + m_addresses[1] + "  current\n")) << r.err;
    EXPECT_FALSE(Contains(r.err, m_addresses[2])) << r.err;
    EXPECT_TRUE(Contains(r.err, "kelvo-cli: 2 printers: 0 updated, 2 current, 0 failed, 0 cancelled")) << r.err;
}

// An Ansible time-out kills the parent outright in the middle of the transfers: its
// children end with it, and the next start of the program, whatever it is for, starts
// again the units the parent had stopped (only those: the POS service was not running).
TEST_F(FleetRunTest, ParentKilledOutrightChildrenEndAndTheNextRunStartsTheServices) {
    ASSERT_TRUE(m_systemd.SetUnitProperty(kPosServiceUnit, "ActiveState", "inactive"));
    MakeFile("FW", 0x07, 400000);
    sim::Faults slow;
    slow.dwReadRate = 20000;  // twenty seconds of transfer
    StartPrinters(0x05, -1, slow);
    FakeCups cups({"socket://" + m_addresses[1] + ":9100"});
    ASSERT_TRUE(cups.Ok());
    std::vector<pid_t> children;
    bool bKilled = false;
    ProgramResult r = RunProgram({kCli, "--kind", "lan", "--parallel", "2", "--port", m_addresses[0], "--port",
                                  m_addresses[1], "--port", m_addresses[2]},
                                 m_env, m_dir / "work", -1, -1, [&](pid_t pid) {
                                     if (m_printers[0]->WaitForEvent("transfer_begin", 60000) &&
                                         m_printers[1]->WaitForEvent("transfer_begin", 60000)) {
                                         children = ChildrenOf(pid);
                                         bKilled = ::kill(pid, SIGKILL) == 0;
                                     }
                                 });
    ASSERT_TRUE(bKilled) << r.err;
    EXPECT_EQ(r.nStatus, 128 + SIGKILL);
    ASSERT_EQ(children.size(), 2u);
    Deadline deadline(30000);
    while (!deadline.Expired() && std::any_of(children.begin(), children.end(), Runs)) Sleep(10);
    for (pid_t child : children) EXPECT_FALSE(Runs(child)) << child;
    // No transfer went on to its end, and no third update started (its check had ended).
    for (int i = 0; i < 2; ++i) EXPECT_EQ(m_printers[i]->State().bRomId, 0x05);
    std::vector<sim::SimEvent> third = m_printers[2]->Transcript();
    EXPECT_TRUE(std::none_of(third.begin(), third.end(), [](const sim::SimEvent& e) { return e.szName == "transfer_begin"; }));
    EXPECT_EQ(m_systemd.ActiveState(kSpoolerUnit), "inactive");
    EXPECT_EQ(m_systemd.CallsFor("StopUnit", kPosServiceUnit), 0);
    const std::string record = m_dir / "root/run/kelvo";
    ASSERT_EQ(std::distance(std::filesystem::directory_iterator(record), {}), 1) << record;

    // Any start: this one fails at once on its folder, after putting the machine right.
    ProgramResult next = Cli({"--dir", "no-such-folder"});
    EXPECT_EQ(next.nStatus, 1) << next.err;
    EXPECT_TRUE(Contains(next.err, "kelvo-cli: started again cups.service, which an update (process ")) << next.err;
    EXPECT_EQ(m_systemd.ActiveState(kSpoolerUnit), "active");
    EXPECT_EQ(m_systemd.CallsFor("StartUnit", kSpoolerUnit), 1);
    EXPECT_EQ(m_systemd.ActiveState(kPosServiceUnit), "inactive");
    EXPECT_EQ(m_systemd.CallsFor("StartUnit", kPosServiceUnit), 0);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(record), {}), 0) << record;
    // Said once: the run after it finds nothing to do.
    EXPECT_FALSE(Contains(Cli({"--dir", "no-such-folder"}).err, "started again")) << next.err;
}

// The ports file is of the folder the command was started in, and is checked whole before
// any run starts; a run that ends before it chose its port still reports it, and its kind.
TEST_F(FleetRunTest, PortsFileOfTheStartingFolderCheckedFirstEveryResultWithItsPort) {
    StartPrinters(0x05, -1, {});
    std::filesystem::create_directories(m_dir / "work/release");  // no update files: each run fails early
    std::ofstream(m_dir / "work/shops.txt") << m_addresses[0] << "\n# closed\n" << m_addresses[1] << "\nkitchen\n";
    ProgramResult bad = Cli({"--kind", "lan", "--dir", "release", "--ports-from", "shops.txt", "--json"});
    EXPECT_EQ(bad.nStatus, 1) << bad.err;
    EXPECT_TRUE(Contains(bad.err, "work/shops.txt, line 4: 'kitchen' is no Ethernet port: an IPv4 address")) << bad.err;
    EXPECT_TRUE(Contains(bad.out, "\"printers\":0,")) << bad.out;
    EXPECT_EQ(m_systemd.CallsFor("StopUnit", kPosServiceUnit), 0);

    std::ofstream(m_dir / "work/shops.txt") << m_addresses[0] << "\n# closed\n" << m_addresses[1] << "\n";
    ProgramResult r = Cli({"--kind", "lan", "--dir", "release", "--ports-from", "shops.txt", "--json"});
    EXPECT_EQ(r.nStatus, 1) << r.err;
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(Contains(r.out, "\"kind\":\"Ethernet\",\"port\":\"" + m_addresses[i] + "\"")) << r.out;
        std::vector<sim::SimEvent> events = m_printers[i]->Transcript();
        EXPECT_TRUE(std::none_of(events.begin(), events.end(), [](const sim::SimEvent& e) { return e.szName == "command"; }));
    }
    EXPECT_FALSE(Contains(r.out, "null,\"port\":null")) << r.out;
}

// A printer over --timeout is cancelled as by Ctrl+C and counts as failed; with
// --max-failures 1 that failure starts no further update, and the rest say so.
TEST_F(FleetRunTest, TimeoutCancelsTheSlowPrinterAndMaxFailuresStartsNoOther) {
    MakeFile("FW", 0x07, 400000);
    sim::Faults slow;
    slow.dwReadRate = 20000;  // twenty seconds of transfer
    StartPrinters(0x05, -1, slow);
    ProgramResult r = Cli(FleetArgs({"--kind", "lan", "--parallel", "1", "--timeout", "2", "--max-failures", "1", "--json"}));
    EXPECT_EQ(r.nStatus, 1) << r.err;
    EXPECT_TRUE(Contains(r.out, "{\"result\":1223,\"result_name\":\"ERROR_CANCELLED\",\"exit_status\":1,"
                                "\"timed_out_after_s\":2,\"model\":\"KV-T34\",\"type_id\":34,\"kind\":\"Ethernet\",\"port\":\"" +
                                    m_addresses[0] + "\""))
        << r.out;
    EXPECT_EQ(m_printers[0]->State().bRomId, 0x05);
    for (int i = 1; i < kPrinters; ++i) {
        EXPECT_TRUE(Contains(r.out, "\"kind\":\"Ethernet\",\"port\":\"" + m_addresses[i] +
                                        "\",\"messages\":[\"Not started: 1 of the updates had failed (--max-failures)\"]"))
            << r.out;
        std::vector<sim::SimEvent> events = m_printers[i]->Transcript();
        EXPECT_TRUE(std::none_of(events.begin(), events.end(), [](const sim::SimEvent& e) { return e.szName == "transfer_begin"; }));
    }
    EXPECT_TRUE(Contains(r.out, "\"by_exit_status\":{\"0\":0,\"1\":1,\"2\":0,\"3\":4}")) << r.out;
    EXPECT_TRUE(Contains(r.err, "1 of the updates failed: no further one is started (--max-failures).")) << r.err;
    ExpectServicesStoppedOnceWithoutSpooler();
}

// --json-lines: the schema first, then an object a line as things happen, each naming
// its stage: the check of both printers, then their update; a phase is a step's name and
// text, never a child's other lines; a printer's result once per stage; the summary last.
TEST_F(FleetRunTest, JsonLinesNameTheirStageAndPhase) {
    MakeFile("FW", 0x07, 30000);
    StartPrinters(0x05, -1, {});
    ProgramResult r = Cli({"--kind", "lan", "--json-lines", "--port", m_addresses[0], "--port", m_addresses[1]});
    EXPECT_EQ(r.nStatus, 0) << r.err;
    std::vector<JsonValue> events;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        JsonValue event;
        ASSERT_TRUE(ParseJson(line, &event)) << line;
        ASSERT_NE(event.Find("event"), nullptr) << line;
        events.push_back(event);
    }
    ASSERT_GE(events.size(), 3u) << r.out;
    auto text = [](const JsonValue& e, std::string_view key) {
        const JsonValue* pValue = e.Find(key);
        return pValue != nullptr && pValue->type == JsonValue::Type::String ? pValue->text : std::string("-");
    };
    EXPECT_EQ(text(events.front(), "event"), "begin");
    ASSERT_NE(events.front().Find("schema"), nullptr);
    EXPECT_EQ(events.front().Find("schema")->dValue, 1);
    EXPECT_EQ(text(events.front(), "command"), "update");
    EXPECT_EQ(text(events.back(), "event"), "summary");

    const std::vector<std::string> kPhases{"prepare", "firmware", "firmware_pause", "restart", "firmware_check", "data",
                                           "data_check"};
    std::vector<std::string> stages;  // of the stage events, in order
    for (const JsonValue& e : events) {
        const std::string name = text(e, "event");
        if (name == "stage") stages.push_back(text(e, "stage"));
        if (name == "start" || name == "phase" || name == "progress" || name == "result") {
            // Every printer's event is of the stage announced last.
            ASSERT_FALSE(stages.empty()) << name;
            EXPECT_EQ(text(e, "stage"), stages.back()) << name;
        }
        if (name == "phase" || name == "progress") {
            EXPECT_NE(std::find(kPhases.begin(), kPhases.end(), text(e, "phase")), kPhases.end()) << text(e, "phase");
            EXPECT_FALSE(Contains(text(e, "text"), "kelvo-cli")) << text(e, "text");
        }
    }
    EXPECT_EQ(stages, (std::vector<std::string>{"check", "update"}));
    for (const std::string& address : {m_addresses[0], m_addresses[1]}) {
        SCOPED_TRACE(address);
        std::map<std::string, int> results;  // by stage
        std::map<std::string, int> starts;
        bool bFirmwareProgress = false;
        for (const JsonValue& e : events) {
            if (text(e, "port") != address) continue;
            if (text(e, "event") == "start") ++starts[text(e, "stage")];
            if (text(e, "event") == "result") {
                ++results[text(e, "stage")];
                const JsonValue* pResult = e.Find("result");
                ASSERT_NE(pResult, nullptr);
                // The check found the update needed; the update did it.
                EXPECT_EQ(pResult->Find("exit_status")->dValue, 0);
                EXPECT_EQ(pResult->Find("would_send") != nullptr, text(e, "stage") == "check");
            }
            if (text(e, "event") == "progress" && text(e, "phase") == "firmware") {
                bFirmwareProgress = Contains(text(e, "text"), "Firmware FW");
            }
        }
        EXPECT_EQ(starts, (std::map<std::string, int>{{"check", 1}, {"update", 1}}));
        EXPECT_EQ(results, (std::map<std::string, int>{{"check", 1}, {"update", 1}}));
        EXPECT_TRUE(bFirmwareProgress) << r.out;
    }
    EXPECT_TRUE(Contains(r.out, "{\"event\":\"summary\",\"summary\":{\"printers\":2,\"exit_status\":0,")) << r.out;
}

// --retry-failed runs exactly the printers an earlier result has as failed or not
// started, from a result file named relative to the starting folder; a result in which
// nothing failed leaves nothing to do (status 2).
TEST_F(FleetRunTest, RetryFailedRunsExactlyTheFailedOnes) {
    MakeFile("FW", 0x07, 30000);
    StartPrinters(0x05, -1, {});
    const int statuses[kPrinters] = {0, 2, 1, 3, 0};
    std::string earlier = "{\"results\":[";
    for (int i = 0; i < kPrinters; ++i) {
        earlier += StrPrintf("%s{\"exit_status\":%d,\"kind\":\"Ethernet\",\"port\":\"%s\"}", i == 0 ? "" : ",",
                             statuses[i], m_addresses[i].c_str());
    }
    earlier += "],\"summary\":{\"printers\":5,\"exit_status\":1}}\n";
    std::filesystem::create_directories(m_dir / "work/release");
    for (const auto& entry : std::filesystem::directory_iterator(m_dir / "work")) {
        if (entry.is_regular_file()) std::filesystem::copy(entry.path(), m_dir / "work/release");
    }
    std::ofstream(m_dir / "work/last.json") << earlier;
    ProgramResult r = Cli({"--kind", "lan", "--dir", "release", "--retry-failed", "last.json", "--json"});
    EXPECT_EQ(r.nStatus, 0) << r.err;
    EXPECT_TRUE(Contains(r.out, "\"summary\":{\"printers\":2,\"exit_status\":0,")) << r.out;
    for (int i = 0; i < kPrinters; ++i) {
        bool bRetried = statuses[i] == 1 || statuses[i] == 3;
        EXPECT_EQ(m_printers[i]->State().bRomId, bRetried ? 0x07 : 0x05) << m_addresses[i];
        std::vector<sim::SimEvent> events = m_printers[i]->Transcript();
        EXPECT_EQ(std::any_of(events.begin(), events.end(), [](const sim::SimEvent& e) { return e.szName == "command"; }),
                  bRetried)
            << m_addresses[i];
    }

    std::ofstream(m_dir / "work/last.json") << "{\"results\":[{\"exit_status\":0,\"port\":\"" << m_addresses[0]
                                           << "\"}],\"summary\":{}}";
    ProgramResult none = Cli({"--kind", "lan", "--retry-failed", "last.json"});
    EXPECT_EQ(none.nStatus, 2) << none.err;
    EXPECT_TRUE(Contains(none.err, "work/last.json: nothing to do")) << none.err;

    // Without a file: the last fleet run's result, which every fleet run keeps. The run
    // above kept the retry's: both printers updated, so nothing to do.
    const std::string kept = m_dir / "state/kelvo/last-fleet.json";
    EXPECT_EQ(TempDir::Read(kept), r.out);
    ProgramResult last = Cli({"--kind", "lan", "--retry-failed", "--dir", "release"});
    EXPECT_EQ(last.nStatus, 2) << last.err;
    EXPECT_TRUE(Contains(last.err, kept + ": nothing to do")) << last.err;
    // One that failed in it is run again, and only that one.
    std::ofstream(kept) << earlier;
    const std::size_t nSeen = m_printers[2]->Transcript().size();
    ProgramResult again = Cli({"--kind", "lan", "--retry-failed", "--json"});
    EXPECT_EQ(again.nStatus, 2) << again.err;  // both failed ones are current by now
    EXPECT_TRUE(Contains(again.out, "\"summary\":{\"printers\":2,")) << again.out;
    EXPECT_GT(m_printers[2]->Transcript().size(), nSeen);
    // None kept at all: said, and nothing runs.
    std::filesystem::remove(kept);
    ProgramResult nothing = Cli({"--kind", "lan", "--retry-failed"});
    EXPECT_EQ(nothing.nStatus, 1) << nothing.err;
    EXPECT_TRUE(Contains(nothing.err, "no earlier fleet result in " + m_dir / "state/kelvo")) << nothing.err;
}

// More printers than the terminal has rows: one summary line and the failing printers,
// no line wider than the terminal, and the table at the end.
TEST_F(FleetRunTest, OnASmallTerminalACompactViewThenTheTable) {
    MakeFile("FW", 0x07, 20000);
    StartPrinters(0x05, 1, {});  // the second printer's new firmware does not start
    TestPty terminal;
    ASSERT_TRUE(terminal.Ok());
    winsize size{};
    size.ws_row = 5;
    size.ws_col = 60;
    ASSERT_EQ(::ioctl(terminal.Master(), TIOCSWINSZ, &size), 0);
    ProgramResult r = Cli(FleetArgs({"--kind", "lan", "--parallel", "2"}), &terminal);
    EXPECT_EQ(r.nStatus, 1) << r.err;
    EXPECT_TRUE(Contains(r.err, "\r\033[K5 printers: 2 running, 0 done, 0 failed, 3 waiting\n")) << r.err;
    // The failing printer shows under the summary line, cut to the width.
    EXPECT_TRUE(Contains(r.err, "\r\033[K" + m_addresses[1] + "  failed (ERROR_INVALID_DATA): ")) << r.err;
    EXPECT_FALSE(Contains(r.err, "\033[5A")) << r.err;  // the whole block is never drawn
    // Every line drawn in place fits in 59 columns.
    for (std::size_t at = r.err.find("\033[K"); at != std::string::npos; at = r.err.find("\033[K", at + 1)) {
        std::size_t nEnd = r.err.find_first_of("\r\n", at + 3);
        EXPECT_LE((nEnd == std::string::npos ? r.err.size() : nEnd) - (at + 3), 59u) << r.err.substr(at, 80);
    }
    EXPECT_TRUE(Contains(r.err, "PORT ")) << r.err;
    EXPECT_TRUE(Contains(r.err, "updated")) << r.err;
    EXPECT_TRUE(Contains(r.err, "failed (")) << r.err;
}

TEST_F(FleetRunTest, RefusedWhileAnotherUpdaterRuns) {
    StartPrinters(0x05, -1, {});
    // What another updater of this user holds while it runs.
    UniqueFd lock(::open((m_dir / "run/____ZAQ_FW_UPDATE____.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(lock);
    ASSERT_EQ(::flock(lock.Get(), LOCK_EX | LOCK_NB), 0);
    // The running update's record, which the refused run must leave whole.
    const std::string running = "ZAQ firmware update log file\r\n[12/11 10:00(00.000)] [I] [0000 : 0001] : running\r\n";
    std::filesystem::create_directories(LogFolder());
    m_dir.Write("root/var/log/ZAQ/Logs/Kelvo.log", running);
    ProgramResult r = Cli(FleetArgs({"--kind", "lan", "--json"}));
    EXPECT_EQ(r.nStatus, 1) << r.err;
    EXPECT_EQ(r.err, "kelvo-cli: another Kelvo update is running on this machine\n");
    const std::string log = TempDir::Read(LogFolder() + "/Kelvo.log");
    EXPECT_TRUE(log.starts_with(running)) << log;
    EXPECT_TRUE(Contains(log, "Instance lock not had [")) << log;
    EXPECT_TRUE(Contains(r.out, "{\"results\":[],\"summary\":{\"printers\":0,\"exit_status\":1,")) << r.out;
    for (const auto& printer : m_printers) {
        std::vector<sim::SimEvent> events = printer->Transcript();
        EXPECT_TRUE(std::none_of(events.begin(), events.end(), [](const sim::SimEvent& e) { return e.szName == "command"; }));
    }
}

// --check: what an update would send, for one printer and for a fleet; nothing sent,
// no service stopped, even with a queue on the printers' ports.
TEST_F(FleetRunTest, CheckTellsWhatWouldBeSentAndSendsNothing) {
    MakeFile("FW", 0x07, 30000);
    // One printer with old firmware, two current ones, one of a model without files; all
    // share the port numbers.
    const std::pair<BYTE, BYTE> printers[] = {{kTypeId, 0x05}, {kTypeId, 0x07}, {kTypeId, 0x07}, {kTypeId + 1, 0x05}};
    for (const auto& [bTypeId, bRomId] : printers) ASSERT_NO_FATAL_FAILURE(StartPrinter(bTypeId, bRomId));
    std::vector<std::string> uris;
    for (const std::string& address : m_addresses) uris.push_back("socket://" + address + ":9100");
    FakeCups cups(uris);
    ASSERT_TRUE(cups.Ok());
    const std::string& old = m_addresses[0];
    const std::string& current = m_addresses[1];
    const std::string& other = m_addresses[3];

    struct Case {
        std::vector<std::string> ports;
        int nStatus;
        std::vector<std::string> parts;  // of stdout
        std::string lastLineCounts;      // of a fleet's last line
    };
    const Case cases[] = {
        {{old}, 0, {"\"result\":0,", "\"port\":\"" + old + "\"", "\"rom_id_before\":\"05\"", "\"sent\":[],\"would_send\":[\"FW\"],",
                    "\"result_text\":\"An update would send FW ("},
         ""},
        {{current}, 2, {"\"result\":1242,", "\"firmware_before\":\"VER2207\"", "\"rom_id_before\":\"07\"",
                        "\"sent\":[],\"would_send\":[],", "\"result_text\":\"The printer is current; an update would send nothing.\""},
         ""},
        {{old, current, m_addresses[2]}, 0, {"\"would_send\":[\"FW\"]", "\"by_exit_status\":{\"0\":1,\"1\":0,\"2\":2,\"3\":0}"},
         "1 to update, 2 current, 0 failed"},
        {{current, m_addresses[2]}, 2, {"\"summary\":{\"printers\":2,\"exit_status\":2,"}, "0 to update, 2 current, 0 failed"},
        {{old, other}, 1, {"\"by_exit_status\":{\"0\":1,\"1\":1,\"2\":0,\"3\":0}"}, "1 to update, 0 current, 1 failed"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"--kind", "lan", "--check", "--json"};
        for (const std::string& port : c.ports) args.insert(args.end(), {"--port", port});
        SCOPED_TRACE(args[5] + (c.ports.size() > 1 ? " and more" : ""));
        ProgramResult r = Cli(args);
        EXPECT_EQ(r.nStatus, c.nStatus) << r.err;
        for (const std::string& part : c.parts) EXPECT_TRUE(Contains(r.out, part)) << part << "\n" << r.out;
        if (c.ports.size() > 1) {
            EXPECT_TRUE(Contains(r.err, "Checking " + std::to_string(c.ports.size()) + " printers")) << r.err;
            // The last line counts what would be updated: nothing was.
            EXPECT_TRUE(Contains(r.err, ": " + std::to_string(c.ports.size()) + " printers: " + c.lastLineCounts)) << r.err;
        }
    }

    // The printers were asked, and got nothing to store.
    for (std::size_t i = 0; i < m_printers.size(); ++i) {
        SCOPED_TRACE(m_addresses[i]);
        std::vector<sim::SimEvent> events = m_printers[i]->Transcript();
        EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const sim::SimEvent& e) { return e.szName == "command"; }));
        for (const char* pszSent : {"transfer_begin", "transfer_end", "flash_write", "post_update", "restart_begin"}) {
            EXPECT_TRUE(std::none_of(events.begin(), events.end(), [&](const sim::SimEvent& e) { return e.szName == pszSent; }))
                << pszSent;
        }
        EXPECT_EQ(m_printers[i]->State().bRomId, printers[i].second);
    }
    for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit, "cups.socket", "cups.path"}) {
        EXPECT_EQ(m_systemd.CallsFor("StopUnit", pszUnit), 0) << pszUnit;
        EXPECT_EQ(m_systemd.CallsFor("StartUnit", pszUnit), 0) << pszUnit;
    }
    for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) EXPECT_EQ(m_systemd.ActiveState(pszUnit), "active") << pszUnit;
}

// An update fleet reads the files once and checks every printer before it stops a
// service: broken files end it at once; current printers stop nothing; only the printer
// that needs it receives a transfer, with the services stopped around it. A check lists
// the data checksums the printer reported.
TEST_F(FleetRunTest, UpdateChecksFilesAndPrintersBeforeStoppingServices) {
    sim::MadeFile fw = MakeFile("FW", 0x07, 20000);
    const BYTE roms[] = {0x05, 0x07, 0x07};
    for (BYTE bRomId : roms) ASSERT_NO_FATAL_FAILURE(StartPrinter(kTypeId, bRomId));
    const std::string& old = m_addresses[0];
    // Two firmware files of one model: what a single run refuses.
    std::filesystem::create_directories(m_dir / "work/broken");
    std::filesystem::copy(m_dir / "work/config.ini", m_dir / "work/broken");
    std::filesystem::copy(fw.szPath, m_dir / "work/broken");
    MakeFile("FW", 0x08, 20000, "work/broken");

    struct Case {
        const char* pszWhat;
        std::vector<std::string> args;
        int nStatus;
        int nStops;  // of the POS service
        std::vector<std::string> parts;  // of stderr and stdout
    };
    const Case cases[] = {
        {"broken files", {"--dir", "broken", "--port", old, "--port", m_addresses[1]}, 1, 0,
         {"kelvo-cli: result 2 (ERROR_FILE_NOT_FOUND), exit status 1\n",
          "\"summary\":{\"printers\":2,\"exit_status\":1,\"by_exit_status\":{\"0\":0,\"1\":2,",
          "\"kind\":\"Ethernet\",\"port\":\"" + m_addresses[1] + "\""}},
        {"all current", {"--port", m_addresses[1], "--port", m_addresses[2]}, 2, 0,
         {"kelvo-cli: 2 printers: 0 updated, 2 current, 0 failed, 0 cancelled",
          "{\"result\":1242,\"result_name\":\"ERROR_ALREADY_REGISTERED\",\"exit_status\":2,"}},
        {"one old", {"--port", old, "--port", m_addresses[1]}, 0, 1,
         {"kelvo-cli: 2 printers: 1 updated, 1 current, 0 failed, 0 cancelled", "\"sent\":[\"FW\"]"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszWhat);
        const int nStopsBefore = m_systemd.CallsFor("StopUnit", kPosServiceUnit);
        const int nStartsBefore = m_systemd.CallsFor("StartUnit", kPosServiceUnit);
        std::vector<std::string> args{"--kind", "lan", "--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ProgramResult r = Cli(args);
        EXPECT_EQ(r.nStatus, c.nStatus) << r.err;
        for (const std::string& part : c.parts) EXPECT_TRUE(Contains(r.err + r.out, part)) << part << "\n" << r.err << r.out;
        EXPECT_FALSE(Contains(r.out, "would_send")) << r.out;
        EXPECT_EQ(m_systemd.CallsFor("StopUnit", kPosServiceUnit) - nStopsBefore, c.nStops);
        EXPECT_EQ(m_systemd.CallsFor("StartUnit", kPosServiceUnit) - nStartsBefore, c.nStops);
        EXPECT_EQ(m_systemd.CallsFor("StopUnit", kSpoolerUnit), 0);  // no queue on these ports
        EXPECT_EQ(m_systemd.ActiveState(kPosServiceUnit), "active");
        if (c.nStatus == 1) {
            // Said once by the parent; no child started, so no printer was asked.
            EXPECT_EQ(Count(r.err, "Two or more firmware update file is specified"), 1u) << r.err;
            EXPECT_FALSE(Contains(r.err, "Updating 2 printers")) << r.err;
            for (const auto& printer : m_printers) {
                std::vector<sim::SimEvent> events = printer->Transcript();
                EXPECT_TRUE(std::none_of(events.begin(), events.end(), [](const sim::SimEvent& e) { return e.szName == "command"; }));
            }
        }
    }
    // Only the old printer received the firmware.
    for (std::size_t i = 0; i < m_printers.size(); ++i) {
        std::vector<sim::SimEvent> events = m_printers[i]->Transcript();
        EXPECT_EQ(std::count_if(events.begin(), events.end(), [](const sim::SimEvent& e) { return e.szName == "transfer_begin"; }),
                  i == 0 ? 1 : 0)
            << m_addresses[i];
        EXPECT_EQ(m_printers[i]->State().bRomId, 0x07) << m_addresses[i];
    }

    // A check tells the data checksums the printer reported.
    MakeFile("KF", 0, 3000);
    ProgramResult check = Cli({"--kind", "lan", "--check", "--json", "--port", m_addresses[2]});
    EXPECT_EQ(check.nStatus, 0) << check.err;
    EXPECT_TRUE(Contains(check.out, "\"would_send\":[\"KF\"],\"checksums\":{\"KF\":\"0000\"},")) << check.out;
}

// A printer whose port is held until the services give way (a POS service keeping its
// connection, a print job under way) fails its check: it is tried as an update once they
// are stopped, and updated.
TEST_F(FleetRunTest, APrinterTheCheckCouldNotReachIsTriedAfterTheServicesStop) {
    MakeFile("FW", 0x07, 20000);
    sim::Config held;
    held.state.bTypeId = kTypeId;
    held.state.bRomId = 0x05;
    held.faults.bRefuse = true;
    ASSERT_NO_FATAL_FAILURE(StartPrinter(held));
    ASSERT_NO_FATAL_FAILURE(StartPrinter(kTypeId, 0x07));
    std::atomic<bool> bDone{false};
    std::thread service([&] {
        while (!bDone && m_systemd.CallsFor("StopUnit", kPosServiceUnit) == 0) Sleep(20);
        m_printers[0]->SetFaults(sim::Faults{});
    });
    ProgramResult r = Cli(FleetArgs({"--kind", "lan", "--json"}));
    bDone = true;
    service.join();
    EXPECT_EQ(r.nStatus, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "kelvo-cli: 2 printers: 1 updated, 1 current, 0 failed, 0 cancelled")) << r.err;
    EXPECT_EQ(m_printers[0]->State().bRomId, 0x07);
    ExpectServicesStoppedOnceWithoutSpooler();
}

}  // namespace
}  // namespace cli_test
