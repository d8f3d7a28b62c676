// Signals while the desktop program updates the simulated printer: SIGTERM, SIGINT or
// SIGHUP cancel the run and the program ends only once the run has; a second signal has
// the services the run stopped started again before it ends the program.
//
// The whole program runs as a user starts it silently: "kelvo /s Ethernet", its LAN
// search finding the printer by broadcast. So kelvo runs in a network namespace of the
// test's own, joined by a veth pair to the printer's, beside python3-dbusmock's systemd
// and a CUPS stand-in; its window is on Qt's VNC platform (listening inside that
// namespace only), through which the test presses Enter in the port list, as the user of
// a silent run does.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FakeCups.h"
#include "MockSystemd.h"
#include "cli/RunProgram.h"
#include "platform/Tick.h"
#include "platform/UniqueFd.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"
#include "support/NetNs.h"
#include "support/TempDir.h"
#include "system/Service.h"

namespace {

const std::string kKelvo = KELVO_EXE;
constexpr BYTE kTypeId = 0x22;
constexpr const char* kNearAddress = "192.168.10.5";
constexpr const char* kPrinterAddress = "192.168.10.7";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string IpProgram() {
    for (const char* psz : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (::access(psz, X_OK) == 0) return psz;
    }
    return "ip";
}

bool EnterNetns(const std::string& name) {
    UniqueFd fd(::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC));
    return fd && ::setns(fd.Get(), CLONE_NEWNET) == 0;
}

bool ReadAll(int fd, void* pData, std::size_t cb) {
    auto* p = static_cast<unsigned char*>(pData);
    while (cb > 0) {
        ssize_t n = ::recv(fd, p, cb, 0);
        if (n <= 0) return false;
        p += n;
        cb -= static_cast<std::size_t>(n);
    }
    return true;
}

bool WriteAll(int fd, const void* pData, std::size_t cb) {
    return ::send(fd, pData, cb, MSG_NOSIGNAL) == static_cast<ssize_t>(cb);
}

// The keyboard of a VNC viewer: just enough of RFB (3.3 to 3.8, no authentication) to
// press keys in the program's window.
class VncKeyboard {
public:
    // Connects to the program's VNC server on loopback (calling thread's namespace),
    // trying until it listens or the deadline passes.
    bool Connect(WORD wPort, DWORD dwTimeoutMs) {
        Deadline deadline(dwTimeoutMs);
        while (!deadline.Expired()) {
            m_fd = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(wPort);
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(m_fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return Handshake();
            Sleep(100);
        }
        return false;
    }
    bool Press(DWORD dwKeySym) {
        std::array<unsigned char, 8> event = {4, 1, 0, 0, static_cast<unsigned char>(dwKeySym >> 24),
                                              static_cast<unsigned char>(dwKeySym >> 16),
                                              static_cast<unsigned char>(dwKeySym >> 8),
                                              static_cast<unsigned char>(dwKeySym)};
        if (!WriteAll(m_fd.Get(), event.data(), event.size())) return false;
        event[1] = 0;
        return WriteAll(m_fd.Get(), event.data(), event.size());
    }

private:
    bool Handshake() {
        char version[12];
        if (!ReadAll(m_fd.Get(), version, sizeof version) || std::memcmp(version, "RFB 003.", 8) != 0) return false;
        const int nMinor = std::atoi(std::string(version + 8, 3).c_str());
        if (!WriteAll(m_fd.Get(), version, sizeof version)) return false;
        if (nMinor < 7) {
            unsigned char type[4];
            if (!ReadAll(m_fd.Get(), type, sizeof type) || type[3] != 1) return false;
        } else {
            unsigned char nTypes = 0;
            if (!ReadAll(m_fd.Get(), &nTypes, 1) || nTypes == 0) return false;
            std::vector<unsigned char> types(nTypes);
            if (!ReadAll(m_fd.Get(), types.data(), types.size())) return false;
            const unsigned char none = 1;
            if (!WriteAll(m_fd.Get(), &none, 1)) return false;
            if (nMinor >= 8) {
                unsigned char result[4];
                if (!ReadAll(m_fd.Get(), result, sizeof result) || result[3] != 0) return false;
            }
        }
        const unsigned char shared = 1;
        if (!WriteAll(m_fd.Get(), &shared, 1)) return false;
        unsigned char init[24];
        if (!ReadAll(m_fd.Get(), init, sizeof init)) return false;
        std::string name((static_cast<std::size_t>(init[20]) << 24) | (init[21] << 16) | (init[22] << 8) | init[23], '\0');
        return ReadAll(m_fd.Get(), name.data(), name.size());
    }

    UniqueFd m_fd;
};

constexpr DWORD kXkReturn = 0xFF0D;

class KelvoSignals : public ::testing::Test {
protected:
    void SetUp() override {
        if (!m_net.ok) GTEST_SKIP() << "needs root to make network namespaces (ip netns); not run here";
        ASSERT_TRUE(m_net.near.Ip(std::string("addr add ") + kNearAddress + "/24 dev " + m_net.nearIf));
        ASSERT_TRUE(m_net.far.Ip(std::string("addr add ") + kPrinterAddress + "/24 dev " + m_net.farIf));
        for (const char* psz : {"work", "config", "run", "root/var/log", "root/run/lock"}) {
            std::filesystem::create_directories(m_dir / psz);
        }
        ::chmod((m_dir / "root/run/lock").c_str(), 01777);
        // The program's services and spooler live in its namespace (a bus on an abstract
        // socket, CUPS on loopback are reached only there).
        ASSERT_TRUE(m_net.near.RunInside([&] {
            m_pSystemd = std::make_unique<MockSystemd>();
            m_pCups = std::make_unique<FakeCups>(std::vector<std::string>{std::string("socket://") + kPrinterAddress + ":9100"});
            m_wVncPort = FreePort();
        }));
        ASSERT_TRUE(m_pSystemd->Ok()) << m_pSystemd->Error();
        ASSERT_TRUE(m_pCups->Ok());
        ASSERT_NE(m_wVncPort, 0);
        for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
            ASSERT_TRUE(m_pSystemd->AddRunningUnit(pszUnit));
        }
        const char* pszCups = std::getenv("CUPS_SERVER");
        // Qt's VNC platform does not free its screen buffers at the end: in a sanitizer
        // build that is not the program's leak.
        m_dir.Write("lsan.supp", "leak:libqvnc.so\n");
        m_env = {{"LSAN_OPTIONS", "print_suppressions=0:suppressions=" + (m_dir / "lsan.supp")},
                 {"XDG_CONFIG_HOME", m_dir / "config"},
                 {"XDG_RUNTIME_DIR", m_dir / "run"},
                 {"KELVO_SYSROOT", m_dir / "root"},
                 {"LC_ALL", "C.UTF-8"},
                 {"QT_QPA_PLATFORM", "vnc:size=800x600:port=" + std::to_string(m_wVncPort)},
                 {"DBUS_SYSTEM_BUS_ADDRESS", m_pSystemd->Address()},
                 {"CUPS_SERVER", pszCups != nullptr ? pszCups : ""},
                 {"XDG_ACTIVATION_TOKEN", ""},
                 {"KELVO_LAN_PORTS", ""}};
        // A model that rewrites its flash after a transfer: 13.5 s of restart wait that a
        // cancel does not cut short.
        m_dir.Write("work/config.ini", "34,\"SIM-34\",M,IF_TCP,REWRITE_AFTER_SEND\n");
    }
    void TearDown() override {
        m_pPrinter.reset();
        m_pCups.reset();
        m_pSystemd.reset();
    }

    static WORD FreePort() {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            return 0;
        }
        return ntohs(addr.sin_port);
    }
    void MakeFirmware(DWORD cbSize) {
        sim::UpdateFileRequest request;
        request.szKind = "FW";
        request.bTypeId = kTypeId;
        request.bRomId = 0x07;
        request.cbSize = cbSize;
        request.szDir = m_dir / "work";
        sim::MadeFile made;
        ASSERT_TRUE(sim::MakeUpdateFile(request, &made));
    }
    void StartPrinter(DWORD dwReadRate) {
        sim::Config config;
        config.timing = sim::Timing::Fast();
        config.szTimingName = "fast";
        config.lan.szAddress = kPrinterAddress;
        config.lan.bDiscoveryAny = true;
        config.state.bTypeId = kTypeId;
        config.state.bRomId = 0x05;
        config.state.szName = "Counter 3";
        config.state.mac = {0x02, 0x4B, 0x56, 0x00, 0x00, 0x03};
        config.faults.dwReadRate = dwReadRate;
        ASSERT_TRUE(m_net.far.RunInside([&] {
            m_pPrinter = std::make_unique<sim::Printer>(config);
            ASSERT_TRUE(m_pPrinter->Start());
        }));
    }
    std::string LogPath() const { return m_dir / "root/var/log/ZAQ/Logs/Kelvo.log"; }
    std::string Log() const { return TempDir::Read(LogPath()); }
    bool WaitForLog(const std::string& part, DWORD dwTimeoutMs) const {
        Deadline deadline(dwTimeoutMs);
        while (!Contains(Log(), part)) {
            if (deadline.Expired()) return false;
            Sleep(20);
        }
        return true;
    }

    // Runs kelvo with args in the program's namespace; presses Enter (on Select, then in
    // the port list) until the transfer begins and the printer sees the event, then runs
    // onEvent with the program's pid.
    ProgramResult RunUntil(const std::vector<std::string>& args, const char* pszEvent,
                           const std::function<void(pid_t)>& onEvent, bool* pReached) {
        *pReached = false;
        std::vector<std::string> argv{IpProgram(), "netns", "exec", m_net.near.Name(), kKelvo};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, m_env, m_dir / "work", -1, -1, [&](pid_t pid) {
            VncKeyboard keyboard;
            if (!EnterNetns(m_net.near.Name()) || !keyboard.Connect(m_wVncPort, 30000)) {
                ::kill(pid, SIGKILL);
                return;
            }
            // The port list shows once the LAN search is over; until then Enter finds the
            // dialog, where it presses Select, or nothing.
            Deadline deadline(60000);
            while (!deadline.Expired() && !m_pPrinter->WaitForEvent("transfer_begin", 300)) {
                keyboard.Press(kXkReturn);
            }
            if (!m_pPrinter->WaitForEvent(pszEvent, 60000)) {
                ::kill(pid, SIGKILL);
                return;
            }
            *pReached = true;
            onEvent(pid);
        });
    }

    TestNetnsPair m_net;
    TempDir m_dir;
    std::map<std::string, std::string> m_env;
    std::unique_ptr<MockSystemd> m_pSystemd;
    std::unique_ptr<FakeCups> m_pCups;
    std::unique_ptr<sim::Printer> m_pPrinter;
    WORD m_wVncPort = 0;
};

// One signal: the run is cancelled and the program waits for its end, which starts the
// services again itself; then it ends with status 3.
TEST_F(KelvoSignals, OneSignalCancelsTheRunAndTheProgramEndsAfterIt) {
    struct Case {
        int nSignal;
        std::vector<std::string> args;
    };
    // Silent, and with the user at the dialog (where Close alone would be refused).
    for (const Case& c : {Case{SIGTERM, {"/s", "Ethernet"}}, Case{SIGINT, {"/s", "Ethernet"}}, Case{SIGHUP, {}}}) {
        SCOPED_TRACE(c.nSignal);
        ASSERT_TRUE(m_pSystemd->ClearCalls());
        std::filesystem::remove(LogPath());
        MakeFirmware(400000);
        StartPrinter(20000);  // a slow printer: the transfer runs for many seconds
        bool bReached = false, bSent = false;
        ProgramResult r =
            RunUntil(c.args, "transfer_begin", [&](pid_t pid) { bSent = ::kill(pid, c.nSignal) == 0; }, &bReached);
        ASSERT_TRUE(bReached && bSent) << r.err << Log();

        EXPECT_EQ(r.nStatus, 3) << r.err;
        const std::string signalLine = "Close signal " + std::to_string(c.nSignal) + " received [1]";
        const std::string log = Log();
        ASSERT_TRUE(Contains(log, signalLine)) << log;
        // The program was still there when the run had ended: the run's end is in the
        // log after the signal, and so is the program's own end.
        const std::string after = log.substr(log.find(signalLine));
        EXPECT_TRUE(Contains(after, "***  Cancelled updating  ***")) << log;
        EXPECT_TRUE(Contains(after.substr(after.find("Cancelled updating")), "Result code [1223], exit status [3]"))
            << log;
        EXPECT_TRUE(Contains(r.err, "kelvo: Signal " + std::to_string(c.nSignal) +
                                        ": cancelling the update; the program ends when the run has ended."))
            << r.err;
        EXPECT_FALSE(Contains(r.err, "Quitting")) << r.err;
        EXPECT_TRUE(r.err.ends_with("kelvo: result 1223 (ERROR_CANCELLED)\n")) << r.err;
        EXPECT_EQ(m_pPrinter->State().bRomId, 0x05);  // the firmware never arrived whole
        for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
            EXPECT_EQ(m_pSystemd->CallsFor("StopUnit", pszUnit), 1) << pszUnit;
            EXPECT_EQ(m_pSystemd->CallsFor("StartUnit", pszUnit), 1) << pszUnit;
            EXPECT_EQ(m_pSystemd->ActiveState(pszUnit), "active") << pszUnit;
        }
        m_pPrinter.reset();
    }
}

// Two signals while the cancel still waits for the printer to restart: the second has
// the services started again and ends the program, without waiting for the run.
TEST_F(KelvoSignals, SecondSignalStartsTheServicesAgainAndEndsTheProgram) {
    MakeFirmware(30000);
    StartPrinter(0);
    bool bReached = false, bFirst = false, bSecond = false;
    ProgramResult r = RunUntil(
        {"/s", "Ethernet"}, "restart_begin",
        [&](pid_t pid) {
            bFirst = ::kill(pid, SIGINT) == 0;
            // The second only once the program has taken the first (two signals in a
            // row would merge into one).
            bSecond = WaitForLog("Close signal 2 received [1]", 30000) && ::kill(pid, SIGTERM) == 0;
        },
        &bReached);
    ASSERT_TRUE(bReached && bFirst && bSecond) << r.err << Log();

    EXPECT_EQ(r.nStatus, 3) << r.err;
    EXPECT_TRUE(Contains(r.err, "kelvo: Quitting: starting again the services the update stopped and restoring the "
                                "serial defaults (a few seconds at most)...\n"
                                "kelvo: Services started again and serial defaults restored.\n"))
        << r.err;
    EXPECT_TRUE(r.err.ends_with("kelvo: result 1223 (ERROR_CANCELLED)\n")) << r.err;
    EXPECT_TRUE(Contains(Log(), "Quitting after the second close signal")) << Log();
    for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
        EXPECT_EQ(m_pSystemd->CallsFor("StopUnit", pszUnit), 1) << pszUnit;
        EXPECT_EQ(m_pSystemd->CallsFor("StartUnit", pszUnit), 1) << pszUnit;
        EXPECT_EQ(m_pSystemd->ActiveState(pszUnit), "active") << pszUnit;
    }
    // The program ended in the restart wait: nobody asked the printer after it.
    bool bRestarted = false;
    for (const sim::SimEvent& e : m_pPrinter->Transcript()) {
        bRestarted = bRestarted || e.szName == "restart_begin";
        EXPECT_FALSE(bRestarted && e.szName == "command") << e.Json();
    }
}

}  // namespace
