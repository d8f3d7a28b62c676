// kelvo-cli as a whole program: options, exit statuses, JSON, discovery in a namespace.
#include <gtest/gtest.h>

#include <grp.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/SingleInstance.h"
#include "sim/Sim.h"
#include "support/NetNs.h"
#include "support/SimUsb.h"
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

// A text as a JSON string holds it (quotes and backslashes escaped).
std::string JsonEscaped(const std::string& text) {
    std::string out;
    for (char ch : text) {
        if (ch == '"' || ch == '\\') out += '\\';
        out += ch;
    }
    return out;
}

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
    static bool CanRunAsNobody() {
        return ::geteuid() == 0 && ::access("/usr/bin/unshare", X_OK) == 0 && ::access("/usr/bin/setpriv", X_OK) == 0;
    }
    // Everything the program needs as nobody: its folders, the machine's lock folder, an
    // update folder it may read.
    void PrepareNobodyRun() {
        for (const char* psz : {"state", "root/run/lock", "root/dev"}) std::filesystem::create_directories(m_dir / psz);
        for (const char* psz : {"", "work", "root", "root/run", "root/dev"}) ::chmod((m_dir / psz).c_str(), 0755);
        for (const char* psz : {"config", "run", "state", "root/run/lock"}) ::chmod((m_dir / psz).c_str(), 01777);
        m_env["XDG_STATE_HOME"] = m_dir / "state";
        m_dir.Write("work/config.ini", "32,\"KV-T32\",M|K,IF_TCP|IF_COM|IF_USB,0\n");
        MakeUpdate({"--kind=FW", "--type-id=20", "--rom-id=07", "--size=5000"});
        for (const char* psz : {"work/config.ini", "work/FW2007SIM.bin"}) ::chmod((m_dir / psz).c_str(), 0644);
    }
    // kelvo-cli as nobody, in a network namespace of its own.
    ProgramResult CliAsNobody(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"/usr/bin/unshare", "-n", "/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                      "--clear-groups", kCli};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, m_env, m_dir / "work");
    }

    TempDir m_dir;
    std::map<std::string, std::string> m_env;
};

TEST_F(ProgramTest, HelpAndVersion) {
    ProgramResult help = Cli({"--help"});
    EXPECT_EQ(help.nStatus, 0);
    EXPECT_TRUE(help.out.starts_with("Usage: kelvo-cli [options]\n")) << help.out;
    for (const char* psz : {"--dir", "--kind", "--port", "--list", "--force", "--check", "--yes", "--json", "--help", "--version",
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

// What the printer noted after its first nAfter entries (empty: nothing reached it).
std::string PrinterSawSince(const sim::Printer& printer, std::size_t nAfter) {
    std::vector<sim::SimEvent> events = printer.Transcript();
    std::string seen;
    for (std::size_t i = nAfter; i < events.size(); ++i) seen += events[i].Json() + "\n";
    return seen;
}

// A mistake a person makes in the first hour ends at once, before any connection, with
// one sentence that names the thing and the next step (last but one line, and
// result_text), and the result the connection would have ended with.
TEST_F(ProgramTest, MistakesEndBeforeConnectingWithASentence) {
    constexpr const char* kEveryKind = "32,\"KV-T32\",M|K,IF_USB|IF_TCP|IF_COM|IF_BT,0\n";
    sim::Config lanConfig;
    lanConfig.timing = sim::Timing::Fast();
    lanConfig.lan = {"127.0.0.83", 0, 0, 0, false, false};
    lanConfig.state.bTypeId = 0x20;
    sim::Printer lan(lanConfig);
    ASSERT_TRUE(lan.Start());
    sim::Config usbConfig;
    usbConfig.state.bTypeId = 0x20;
    std::unique_ptr<sim::Printer> usb = StartUsbPrinter(usbConfig, m_dir / "root", 0);
    ASSERT_NE(usb, nullptr);
    m_env["KELVO_LAN_PORTS"] = std::to_string(lan.DataPort()) + "," + std::to_string(lan.StatusPort());
    const std::string root = m_dir / "root";

    const struct {
        const char* pszConfig;
        bool bFiles;  // FW2007 and KF20 in the folder
        std::vector<std::string> args;
        long long nResult;
        std::string sentence;
    } cases[] = {
        {kEveryKind, true, {"--port", "/dev/ttyUSB0"}, 123,
         "/dev/ttyUSB0: name the port without /dev/: --kind serial --port ttyUSB0."},
        {kEveryKind, true, {"--port", "lp0"}, 123, "lp0 is the USB printer USB001 to Kelvo: --kind usb --port USB001."},
        {kEveryKind, true, {"--kind", "usb", "--port", "127.0.0.83"}, 123,
         "127.0.0.83 is a LAN address, not a USB port: --kind lan --port 127.0.0.83."},
        // Meant as an address, whatever kind the model offers first.
        {kEveryKind, true, {"--port", "127.0.0.300"}, 123,
         "127.0.0.300 is not a valid IPv4 address: an address is four numbers from 0 to 255 separated by dots, such "
         "as 192.168.1.40 (the printer's self-test page shows it)."},
        // The kind a sentence sends the user to must be one the model's line offers.
        {"32,\"KV-T32\",M|K,IF_USB|IF_TCP,0\n", true, {"--port", "/dev/ttyUSB0"}, 123,
         "/dev/ttyUSB0: name the port without /dev/: --kind serial --port ttyUSB0; config.ini's line for Type ID 0x20 "
         "(KV-T32) offers only USB and LAN: to update it over serial, add IF_COM to its interfaces field "
         "(IF_USB|IF_TCP|IF_COM)."},
        {"32,\"KV-T32\",M|K,IF_USB,0\n", true, {"--port", "127.0.0.83"}, 1801,
         "config.ini's line for Type ID 0x20 (KV-T32) offers only USB: to update it over LAN, add IF_TCP to its "
         "interfaces field (IF_USB|IF_TCP)."},
        // The files' 20 is hexadecimal; config.ini's 20 is twenty.
        {"20,\"KV-T32\",M|K,IF_USB,0\n", true, {"--port", "USB001"}, 1801,
         "The update files here are for Type ID 0x20, and config.ini has no line for it but one for 20, which it "
         "reads as the decimal number 20 (0x14); the files' 20 is hexadecimal: write that line's Type ID as 0x20 (or "
         "32)."},
        {"0x32,\"KV-T32\",M|K,IF_USB,0\n", true, {"--port", "USB001"}, 1801,
         "The update files here are for Type ID 0x20 (32 in decimal), and config.ini has no line for it but one for "
         "0x32 (50 in decimal); if that line is for these files, write its Type ID as 32 (or 0x20)."},
        {kEveryKind, true, {"--port", "USB009"}, 1167,
         "USB009 (" + root + "/dev/usb/lp8) is not there: the printer is not plugged in, not switched on, or has "
                             "another number; `kelvo-cli --kind usb --list` shows the printers."},
        {kEveryKind, true, {"--kind", "serial", "--port", "ttyS99"}, 1167,
         root + "/dev/ttyS99 does not exist; `kelvo-cli --kind serial --list` shows the ports."},
        {kEveryKind, true, {"--kind", "serial", "--port", "COM1"}, 1167,
         "COM1 is a Windows port name; on Linux serial ports are ttyS0 (the first on the board), ttyUSB0 (an adapter), "
         "ttyACM0 (the printer's own USB serial port); `kelvo-cli --kind serial --list` shows the ports."},
        {kEveryKind, true, {"--kind", "lan", "--port", "printer.local"}, 123,
         "printer.local is a host name; Kelvo takes the printer's IPv4 address (192.168.1.40): its self-test page "
         "shows it, or `kelvo-cli --kind lan --list` shows the printers."},
        {kEveryKind, true, {"--kind", "bluetooth", "--port", "02:00:5A:00:00"}, 123,
         "02:00:5A:00:00 is not a Bluetooth port name: a Bluetooth printer is its address, six pairs of hexadecimal "
         "digits: 02:00:5A:00:00:01; `kelvo-cli --kind bluetooth --list` shows the printers."},
        {kEveryKind, false, {"--port", "127.0.0.83"}, 2,
         "There are no update files in " + m_dir / "work" +
             " (FW*.bin firmware, KF, CF, ZF or YF*.bin fonts): put the printer's files beside config.ini (README: "
             "\"The update files\")."},
        {"31,\"KV-T31\",M,IF_USB,0\n", true, {"--port", "USB001"}, 1801,
         "The update files here are for Type ID 0x20, and config.ini has no line for it: add one, 32, \"model name\", "
         "M|K, IF_USB, 0 (README: \"The update folder: config.ini\")."},
        {"1G,\"KV-T32\",M,IF_USB,0\n", true, {"--port", "USB001"}, 1610,
         "config.ini line 1, field 1 (Type ID): '1G' is not a number or a word of this file; write a number from 0 "
         "to 63: 31, 0x1F, or the two hexadecimal digits of the file names when one is a letter (1F)"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(m_dir / "work");
        std::filesystem::create_directories(m_dir / "work");
        m_dir.Write("work/config.ini", c.pszConfig);
        if (c.bFiles) {
            MakeUpdate({"--kind=FW", "--type-id=20", "--rom-id=07", "--size=5000"});
            MakeUpdate({"--kind=KF", "--type-id=20", "--size=1000"});
        }
        std::vector<std::string> args = c.args;
        args.push_back("--json");
        const std::size_t nLanSeen = lan.Transcript().size();
        const std::size_t nUsbSeen = usb->Transcript().size();
        ProgramResult r = Cli(args);
        const std::string what = c.args.back();
        EXPECT_EQ(r.nStatus, 1) << what;
        EXPECT_TRUE(r.out.starts_with("{\"result\":" + std::to_string(c.nResult) + ",")) << what << r.out;
        EXPECT_TRUE(Contains(r.err, "kelvo-cli: " + c.sentence + "\n")) << what << "\n" << r.err;
        if (c.nResult != 1610) {
            EXPECT_TRUE(Contains(r.err, "kelvo-cli: " + c.sentence + "\nkelvo-cli: result " + std::to_string(c.nResult)))
                << r.err;
            EXPECT_TRUE(Contains(r.out, "\"result_text\":\"" + JsonEscaped(c.sentence) + "\"")) << r.out;
        }
        EXPECT_FALSE(Contains(r.err, "UNKNOWN")) << r.err;
        // No retry loop ran: the connection's "Attempt to connect" never came.
        EXPECT_FALSE(Contains(r.err, "Attempt to connect")) << what;
        EXPECT_EQ(PrinterSawSince(lan, nLanSeen), "") << what;
        EXPECT_EQ(PrinterSawSince(*usb, nUsbSeen), "") << what;
    }
}

// A user without the rights: a serial port of a group the user is not in, and LAN
// without ping sockets (a fresh network namespace keeps the kernel's "1 0") or raw ICMP.
// Both end before connecting, and say what to do.
std::string GroupNameOf(gid_t gid) {
    const group* pGroup = ::getgrgid(gid);
    return pGroup != nullptr ? pGroup->gr_name : std::to_string(gid);
}

TEST_F(ProgramTest, WithoutTheRightsTheMissingRightIsNamed) {
    if (!CanRunAsNobody()) GTEST_SKIP() << "needs root, unshare and setpriv to run kelvo-cli as another user";
    PrepareNobodyRun();
    std::filesystem::create_directories(m_dir / "root/dev/usb");
    ::chmod((m_dir / "root/dev/usb").c_str(), 0755);
    // Nodes whose group grants nothing to add oneself to: root's group, and none at all.
    m_dir.Write("root/dev/ttyS5", "");
    ::chmod((m_dir / "root/dev/ttyS5").c_str(), 0660);
    m_dir.Write("root/dev/usb/lp0", "");
    ::chmod((m_dir / "root/dev/usb/lp0").c_str(), 0600);
    // A group that may read and write: joining it is the way.
    m_dir.Write("root/dev/ttyS6", "");
    ::chmod((m_dir / "root/dev/ttyS6").c_str(), 0660);
    ASSERT_EQ(::chown((m_dir / "root/dev/ttyS6").c_str(), 0, 20), 0);
    const std::string group20 = GroupNameOf(20);

    const struct {
        std::vector<std::string> args;
        long long nResult;
        std::string sentence;
    } cases[] = {
        {{"--kind", "serial", "--port", "ttyS5"}, 5,
         "You may not open " + m_dir / "root/dev/ttyS5" +
             " (owner root, group root, mode 0660): only root may, so run as root."},
        {{"--kind", "serial", "--port", "ttyS6"}, 5,
         "You may not open " + m_dir / "root/dev/ttyS6" + " (owner root, group " + group20 +
             ", mode 0660): add yourself to its group " + group20 + " (sudo usermod -aG " + group20 +
             " $USER, then log in again); or run as root."},
        {{"--kind", "usb", "--port", "USB001"}, 5,
         "You may not open " + m_dir / "root/dev/usb/lp0" +
             " (owner root, group root, mode 0600): install the package: its device rule lets the user at this "
             "machine's seat open the maker's printers; or run as root."},
        {{"--port", "127.0.0.85"}, 10013,
         "This user may not send ping (ICMP echo), which the LAN connection uses to see the printer: allow ping "
         "sockets for your groups (sudo sysctl -w net.ipv4.ping_group_range=\"0 2147483647\", kept in "
         "/etc/sysctl.d/) or run as root."},
    };
    for (const auto& c : cases) {
        ProgramResult r = CliAsNobody(c.args);
        EXPECT_EQ(r.nStatus, 1) << r.err;
        EXPECT_TRUE(Contains(r.err, "kelvo-cli: " + c.sentence + "\nkelvo-cli: result " + std::to_string(c.nResult) +
                                        " ("))
            << r.err;
        EXPECT_FALSE(Contains(r.err, "Attempt to connect")) << r.err;
    }
}

// Without --port the port the search found is checked as a named one: the sentence names
// its node and what grants access, and nothing reaches the printer.
TEST_F(ProgramTest, WithoutAPortTheFoundNodeThatCannotBeOpenedIsNamed) {
    if (!CanRunAsNobody()) GTEST_SKIP() << "needs root, unshare and setpriv to run kelvo-cli as another user";
    PrepareNobodyRun();
    sim::Config config;
    config.state.bTypeId = 0x20;
    config.state.bRomId = 0x05;
    std::unique_ptr<sim::Printer> printer = StartUsbPrinter(config, m_dir / "root", 0);
    ASSERT_TRUE(printer);
    const std::string node = m_dir / "root/dev/usb/lp0";
    ASSERT_EQ(::chmod(node.c_str(), 0600), 0);
    ProgramResult r = CliAsNobody({"--kind", "usb"});
    EXPECT_EQ(r.nStatus, 1) << r.err;
    EXPECT_TRUE(Contains(r.err, "kelvo-cli: You may not open " + node + " (owner ")) << r.err;
    EXPECT_TRUE(Contains(r.err, "or run as root.\nkelvo-cli: result 5 (")) << r.err;
    EXPECT_FALSE(printer->WaitForEvent("command", 0));
}

// Without --kind an IPv4 address means LAN, whatever kind the model lists first.
TEST_F(ProgramTest, AnAddressWithoutKindIsALanPrinter) {
    sim::Config config;
    config.timing = sim::Timing::Fast();
    config.lan = {"127.0.0.84", 0, 0, 0, false, false};
    config.state.bTypeId = 0x20;
    config.state.bRomId = 0x07;
    sim::Printer printer(config);
    ASSERT_TRUE(printer.Start());
    m_env["KELVO_LAN_PORTS"] = std::to_string(printer.DataPort()) + "," + std::to_string(printer.StatusPort());
    m_dir.Write("work/config.ini", "32,\"KV-T32\",M|K,IF_USB|IF_TCP,0\n");
    MakeUpdate({"--kind=FW", "--type-id=20", "--rom-id=07", "--size=5000"});
    ProgramResult r = Cli({"--port", "127.0.0.84", "--json"});
    EXPECT_EQ(r.nStatus, 2) << r.err;  // reached, and its firmware is the file's
    EXPECT_TRUE(Contains(r.out, "\"kind\":\"Ethernet\",\"port\":\"127.0.0.84\"")) << r.out;
    EXPECT_TRUE(printer.WaitForEvent("command", 0));
}

TEST_F(ProgramTest, InitConfigWritesAStartingFileOnlyWhereNoneIs) {
    MakeUpdate({"--kind=KF", "--type-id=20", "--size=1000"});
    ProgramResult r = Cli({"--init-config", "--type-id", "0x20", "--kind", "usb"});
    EXPECT_EQ(r.nStatus, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "wrote " + m_dir / "work/config.ini" + " for Type ID 0x20 (32)")) << r.err;
    std::string text = TempDir::Read(m_dir / "work/config.ini");
    EXPECT_TRUE(text.ends_with("\n32, \"ZAQ printer 20\", M|K, IF_USB, 0\n")) << text;
    EXPECT_FALSE(Contains(text, "\n\n")) << text;  // an empty line would end the file

    // The file works: a run gets past config.ini to the USB port it names.
    ProgramResult run = Cli({"--port", "USB001", "--json"});
    EXPECT_TRUE(run.out.starts_with("{\"result\":1167,")) << run.out << run.err;

    // Never over an existing file, whatever it holds.
    m_dir.Write("work/config.ini", "// mine\n");
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--init-config", "--type-id", "1F", "--kind", "lan"},
          {"--init-config", "--type-id", "0x20", "--kind", "usb"}}) {
        ProgramResult again = Cli(args);
        EXPECT_EQ(again.nStatus, 1);
        EXPECT_TRUE(Contains(again.err, "config.ini already exists and is left as it is")) << again.err;
        EXPECT_EQ(TempDir::Read(m_dir / "work/config.ini"), "// mine\n");
    }
    std::filesystem::remove(m_dir / "work/config.ini");
    const std::pair<std::vector<std::string>, const char*> bad[] = {
        {{"--init-config", "--type-id", "1G", "--kind", "usb"}, "--type-id '1G' is no Type ID"},
        {{"--init-config", "--type-id", "64", "--kind", "usb"}, "--type-id '64' is no Type ID"},
        {{"--init-config", "--kind", "usb"}, "--init-config needs --type-id ID"},
        {{"--init-config", "--type-id", "1F"}, "--init-config needs --type-id ID"},
    };
    for (const auto& [args, pszSays] : bad) {
        ProgramResult refused = Cli(args);
        EXPECT_EQ(refused.nStatus, 1);
        EXPECT_TRUE(Contains(refused.err, pszSays)) << refused.err;
        EXPECT_FALSE(std::filesystem::exists(m_dir / "work/config.ini"));
    }
    ProgramResult hex = Cli({"--init-config", "--type-id", "1F", "--kind", "lan"});
    EXPECT_EQ(hex.nStatus, 0);
    EXPECT_TRUE(Contains(TempDir::Read(m_dir / "work/config.ini"), "\n31, \"ZAQ printer 1F\", M, IF_TCP, 0\n"));
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
