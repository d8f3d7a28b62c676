// Ctrl+C twice while kelvo-cli updates the simulated printer: the services the run
// stopped (python3-dbusmock's systemd on a private bus, a CUPS stand-in whose queue
// prints to the printer) run again, and the program ends with status 3.
#include <signal.h>

#include <fstream>
#include <sstream>

#include "FakeCups.h"
#include "MockSystemd.h"
#include "UpdateRun.h"
#include "platform/Tick.h"
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
            ASSERT_TRUE(m_systemd.AddUnit(pszUnit));
            ASSERT_TRUE(m_systemd.SetUnitProperty(pszUnit, "ActiveState", "active"));
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
        EXPECT_TRUE(Contains(r.err, "Quitting: starting again the services the update stopped and restoring the "
                                    "serial defaults (a few seconds at most)...\n"))
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
