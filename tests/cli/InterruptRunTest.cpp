// Ctrl+C twice while kelvo-cli updates the simulated printer: the services the run
// stopped (python3-dbusmock's systemd on a private bus, a CUPS stand-in whose queue
// prints to the printer) run again, and the program ends with status 3.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>

#include <fstream>
#include <sstream>

#include "FakeCups.h"
#include "MockSystemd.h"
#include "UpdateRun.h"
#include "platform/Tick.h"
#include "platform/UniqueFd.h"
#include "system/Service.h"

namespace cli_test {
namespace {

bool FileContains(const std::string& path, const std::string& part) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return Contains(text.str(), part);
}

class InterruptRunTest : public UpdateRunTest {
protected:
    void SetUp() override {
        UpdateRunTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(m_systemd.Ok()) << m_systemd.Error();
        for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
            ASSERT_TRUE(m_systemd.AddRunningUnit(pszUnit));
        }
    }
    std::string LogPath() const { return m_dir / "root/var/log/ZAQ/Logs/Kelvo.log"; }

    MockSystemd m_systemd;
};

TEST_F(InterruptRunTest, TwiceStartsTheStoppedServicesAgainAndEndsWithStatusThree) {
    struct Case {
        const char* pszName;
        const char* pszFirstAt;  // the printer's event at which the user presses Ctrl+C
        DWORD cbFirmware;
        DWORD dwReadRate;
        const char* pszWaiting;  // what the first Ctrl+C says the run still waits for
    } cases[] = {
        // A slow printer: the transfer runs for many seconds.
        {"during the transfer", "transfer_begin", 400000, 20000, nullptr},
        // A model that rewrites its flash after a transfer: 13.5 s of restart wait that a
        // cancel does not cut short.
        {"during the restart wait", "restart_begin", 30000, 0, "for the printer to restart."},
    };
    m_dir.Write("work/config.ini", "34,\"KV-34\",M,IF_TCP,REWRITE_AFTER_SEND\n");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        ASSERT_TRUE(m_systemd.ClearCalls());
        std::filesystem::remove(LogPath());
        MakeFile("FW", 0x07, c.cbFirmware);
        sim::Faults faults;
        faults.dwReadRate = c.dwReadRate;
        StartPrinter(0x05, faults);
        FakeCups cups({"socket://" + m_address + ":9100"});
        ASSERT_TRUE(cups.Ok());

        bool bFirst = false, bSecond = false;
        ProgramResult r = RunProgram(
            {kCli, "--kind", "lan", "--port", m_address, "--json"}, m_env, m_dir / "work", -1, -1, [&](pid_t pid) {
                if (!m_printer->WaitForEvent(c.pszFirstAt, 60000)) return;
                bFirst = ::kill(pid, SIGINT) == 0;
                // The second only once the program has taken the first (two signals in
                // a row would merge into one).
                Deadline deadline(30000);
                while (!deadline.Expired() && !FileContains(LogPath(), "Interrupted by the user [1]")) Sleep(10);
                bSecond = !deadline.Expired() && ::kill(pid, SIGINT) == 0;
            });
        ASSERT_TRUE(bFirst && bSecond) << r.err;

        EXPECT_EQ(r.nStatus, 3) << r.err;
        EXPECT_TRUE(r.out.starts_with("{\"result\":1223,\"result_name\":\"ERROR_CANCELLED\",\"exit_status\":3,")) << r.out;
        if (c.pszWaiting != nullptr) {
            EXPECT_TRUE(Contains(r.err, "Cancelling... waiting up to ")) << r.err;
            EXPECT_TRUE(Contains(r.err, std::string(" s ") + c.pszWaiting + " Interrupt again to quit sooner.\n"))
                << r.err;
        } else {
            EXPECT_TRUE(Contains(r.err, "Cancelling... Interrupt again to quit sooner.\n")) << r.err;
        }
        // A cancelled transfer ends within about a second, so there the second Ctrl+C may
        // come after the run has ended; the restart wait outlasts it.
        const bool bSecondTaken = FileContains(LogPath(), "Interrupted by the user [2]");
        if (c.pszWaiting != nullptr) {
            EXPECT_TRUE(bSecondTaken);
        }
        EXPECT_EQ(Contains(r.err, "Quitting: starting again the services the update stopped and restoring the "
                                  "serial defaults (a few seconds at most)...\n"),
                  bSecondTaken)
            << r.err;
        EXPECT_TRUE(r.err.ends_with("kelvo-cli: result 1223 (ERROR_CANCELLED), exit status 3\n")) << r.err;

        // Each unit was stopped once and started once again, and runs.
        for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
            EXPECT_EQ(m_systemd.CallsFor("StopUnit", pszUnit), 1) << pszUnit;
            EXPECT_EQ(m_systemd.CallsFor("StartUnit", pszUnit), 1) << pszUnit;
            EXPECT_EQ(m_systemd.ActiveState(pszUnit), "active") << pszUnit;
        }
        if (c.dwReadRate != 0) {
            EXPECT_EQ(m_printer->State().bRomId, 0x05);  // the firmware never arrived whole
        } else {
            // The program ended in the restart wait: nobody asked the printer after it.
            bool bRestarted = false;
            for (const sim::SimEvent& e : m_printer->Transcript()) {
                bRestarted = bRestarted || e.szName == "restart_begin";
                EXPECT_FALSE(bRestarted && e.szName == "command") << e.Json();
            }
        }
        m_printer.reset();
    }
}

}  // namespace
}  // namespace cli_test

namespace cli_test {
namespace {

// Listening sockets on a loopback address that never take a connection out of the
// backlog: the kernel completes the handshake, so a connect succeeds and then nothing
// ever answers, on the data channel or the status channel.
class MuteListeners {
public:
    explicit MuteListeners(const std::string& address) {
        for (UniqueFd& fd : m_fds) {
            fd.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            ::inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
            socklen_t nLen = sizeof addr;
            if (!fd || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
                ::listen(fd.Get(), 8) != 0 || ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
                return;
            }
            m_ports += (m_ports.empty() ? "" : ",") + std::to_string(ntohs(addr.sin_port));
        }
    }
    bool Ok() const { return m_ports.find(',') != std::string::npos; }
    std::string Ports() const { return m_ports; }  // data,status as KELVO_LAN_PORTS takes them

private:
    std::array<UniqueFd, 2> m_fds;
    std::string m_ports;
};

// The first Ctrl+C during identification ends the run without waiting out the answer
// and status-channel limits (5 s a read, three attempts), and starts the services again.
TEST_F(InterruptRunTest, OnceDuringIdentificationAgainstASilentPrinter) {
    MakeFile("FW", 0x07, 30000);
    for (bool bMuteChannels : {false, true}) {
        SCOPED_TRACE(bMuteChannels ? "nothing answers on either channel" : "the printer answers no command");
        ASSERT_TRUE(m_systemd.ClearCalls());
        std::filesystem::remove(LogPath());
        std::unique_ptr<MuteListeners> mute;
        if (bMuteChannels) {
            mute = std::make_unique<MuteListeners>(m_address);
            ASSERT_TRUE(mute->Ok());
            m_env["KELVO_LAN_PORTS"] = mute->Ports();
        } else {
            sim::Faults silent;
            silent.bSilent = true;
            StartPrinter(0x05, silent);
        }
        FakeCups cups({"socket://" + m_address + ":9100"});
        ASSERT_TRUE(cups.Ok());
        DWORD dwInterrupted = 0;
        ProgramResult r = RunProgram({kCli, "--kind", "lan", "--port", m_address, "--json"}, m_env, m_dir / "work", -1,
                                     -1, [&](pid_t pid) {
                                         // The run is in its first exchange with the printer.
                                         Deadline deadline(30000);
                                         while (!deadline.Expired() && !FileContains(LogPath(), "Read [FIRST ACCESS]"))
                                             Sleep(10);
                                         dwInterrupted = GetTickCount();
                                         ::kill(pid, SIGINT);
                                     });
        DWORD dwAfter = GetTickCount() - dwInterrupted;
        EXPECT_EQ(r.nStatus, 3) << r.err;
        EXPECT_TRUE(r.out.starts_with("{\"result\":1223,\"result_name\":\"ERROR_CANCELLED\",\"exit_status\":3,")) << r.out;
        // One interrupt was enough: the program did not ask for a second.
        EXPECT_FALSE(FileContains(LogPath(), "Interrupted by the user [2]"));
        EXPECT_FALSE(FileContains(LogPath(), "Quitting after the second interrupt"));
        if (m_printer) {
            // No further attempt: the one command the printer saw was the first.
            std::vector<sim::SimEvent> events = m_printer->Transcript();
            EXPECT_LE(std::count_if(events.begin(), events.end(), [](const sim::SimEvent& e) { return e.szName == "command"; }),
                      1);
        }
        for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
            EXPECT_EQ(m_systemd.CallsFor("StartUnit", pszUnit), 1) << pszUnit;
            EXPECT_EQ(m_systemd.ActiveState(pszUnit), "active") << pszUnit;
        }
        // How long it took is for the reader (speed belongs to the benches).
        std::printf("ended %u ms after the interrupt\n", static_cast<unsigned>(dwAfter));
        m_printer.reset();
    }
}

}  // namespace
}  // namespace cli_test
