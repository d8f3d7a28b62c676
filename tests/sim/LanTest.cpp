// The simulated printer over real loopback sockets, driven by a short scripted host.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "SimClient.h"
#include "platform/Text.h"
#include "sim/Cli.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"

namespace {

using simtest::Bytes;
using namespace simtest;

constexpr DWORD kWait = 20000;  // generous: sanitizer builds are slow

std::string NextAddress() {
    static std::atomic<int> n{0};
    int i = n++;
    return StrPrintf("127.%d.%d.%d", 60 + (getpid() % 60), (getpid() / 60) % 250 + 1, i + 2);
}

Bytes ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), {});
}

class LanTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kelvo-sim-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        m_addr = NextAddress();
    }
    void TearDown() override {
        m_pPrinter.reset();
        std::string cmd = "rm -rf '" + m_dir + "'";
        (void)!std::system(cmd.c_str());
    }
    sim::Config Cfg() {
        sim::Config c;
        c.lan.szAddress = m_addr;
        c.lan.wDataPort = c.lan.wStatusPort = c.lan.wDiscoveryPort = 0;
        c.timing = sim::Timing::Fast();
        c.szTimingName = "fast";
        return c;
    }
    void StartPrinter(const sim::Config& c) {
        m_pPrinter = std::make_unique<sim::Printer>(c);
        ASSERT_TRUE(m_pPrinter->Start());
        ASSERT_NE(m_pPrinter->DataPort(), 0);
        ASSERT_NE(m_pPrinter->StatusPort(), 0);
    }
    unsigned long long Mark() const { return m_pPrinter->Transcript().size(); }
    // Sends a command and fetches the answer the way a LAN host does: through the status
    // channel, once the printer has taken the command.
    Bytes Ask(int fd, const Bytes& cmd) {
        unsigned long long from = Mark();
        EXPECT_TRUE(SendAll(fd, cmd));
        EXPECT_TRUE(m_pPrinter->WaitForEvent("command", kWait, nullptr, from));
        Bytes h, d;
        EXPECT_TRUE(StatusExchange(m_addr, m_pPrinter->StatusPort(), 0x80, m_wCounter, 4096, &h, &d));
        if (!d.empty()) m_wCounter = static_cast<WORD>(h[9] | (h[10] << 8));
        return d;
    }
    bool WaitLink(const char* pszState, unsigned long long from) {
        return m_pPrinter->WaitForEvent("link", kWait, nullptr, from,
                                        [&](const sim::SimEvent& e) { return e.Str("state") == pszState; });
    }

    std::string m_dir;
    std::string m_addr;
    std::unique_ptr<sim::Printer> m_pPrinter;
    WORD m_wCounter = 0;
};

TEST_F(LanTest, WholeFirmwareAndFontUpdateWithRestart) {
    sim::UpdateFileRequest fw;
    fw.bTypeId = 0x1F;
    fw.bRomId = 0x07;
    fw.cbSize = 30000;
    fw.szDir = m_dir;
    sim::MadeFile fwFile, kfFile;
    ASSERT_TRUE(sim::MakeUpdateFile(fw, &fwFile));
    sim::UpdateFileRequest kf = fw;
    kf.szKind = "KF";
    kf.cbSize = 10000;
    ASSERT_TRUE(sim::MakeUpdateFile(kf, &kfFile));
    EXPECT_EQ(fwFile.szPath, m_dir + "/FW1F07SIM.bin");

    sim::Config c = Cfg();
    c.szTranscriptPath = m_dir + "/transcript.jsonl";
    StartPrinter(c);

    // First read of a host: drain the queue, then the 8-byte automatic status.
    Bytes h, d;
    ASSERT_TRUE(StatusExchange(m_addr, m_pPrinter->StatusPort(), 0x80, 0, 4096, &h, &d));
    ASSERT_TRUE(StatusExchange(m_addr, m_pPrinter->StatusPort(), 0x00, 0, 8, &h, &d));
    EXPECT_EQ(h, (Bytes{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00}));
    EXPECT_EQ(d.size(), 8u);

    UniqueFd data = ConnectTcp(m_addr, m_pPrinter->DataPort());
    ASSERT_TRUE(data);
    Bytes devid(35, 0x00);  // NUL padding, then the command
    devid[32] = 0x1D;
    devid[33] = 0x49;
    devid[34] = 0x01;
    EXPECT_EQ(Ask(data.Get(), devid), (Bytes{0x0E, 0xEF, 0xF1, 0x00}));
    EXPECT_EQ(Ask(data.Get(), StdCommand(0x03)), (Bytes{0x0E, 0xE5, 0xF0, 0x00}));

    Bytes image = ReadFile(fwFile.szPath);
    unsigned long long from = Mark();
    for (std::size_t off = 0; off < image.size(); off += 4096)
        ASSERT_TRUE(SendAll(data.Get(), Bytes(image.begin() + off, image.begin() + std::min(image.size(), off + 4096))));
    ::shutdown(data.Get(), SHUT_WR);
    EXPECT_TRUE(WaitClosed(data.Get(), kWait));
    data.Reset();
    sim::SimEvent ev;
    ASSERT_TRUE(m_pPrinter->WaitForEvent("transfer_end", kWait, &ev, from));
    EXPECT_EQ(ev.Str("kind"), "FW");
    EXPECT_EQ(ev.Str("result"), "stored");
    EXPECT_EQ(ev.Int("bytes"), static_cast<long long>(image.size()));
    ASSERT_TRUE(m_pPrinter->WaitForEvent("restart_end", kWait, &ev, from));
    EXPECT_EQ(ev.Int("rom_id"), 0x07);
    ASSERT_TRUE(WaitLink("up", ev.nSeq));

    data = ConnectTcp(m_addr, m_pPrinter->DataPort());
    ASSERT_TRUE(data);
    m_wCounter = 0;  // the restart started the printer's counter afresh
    EXPECT_EQ(Ask(data.Get(), StdCommand(0x03)), (Bytes{0x0E, 0xE7, 0xF0, 0x00}));
    Bytes ver{0x02, 'V', 'E', 'R', '1', 'F', '0', '7', 0x00};
    EXPECT_EQ(Ask(data.Get(), StdCommand(0x41)), ver);
    EXPECT_EQ(Ask(data.Get(), Header20(0x46, 0x4B)), (Bytes{0x0E, 0xE0, 0xF0, 0xE0, 0xF0, 0x00}));

    Bytes font = Header20(0x4B, 0x4B);
    Bytes kfBytes = ReadFile(kfFile.szPath);
    font.insert(font.end(), kfBytes.begin(), kfBytes.end());
    from = Mark();
    ASSERT_TRUE(SendAll(data.Get(), font));
    ::shutdown(data.Get(), SHUT_WR);
    ASSERT_TRUE(m_pPrinter->WaitForEvent("transfer_end", kWait, &ev, from));
    EXPECT_EQ(ev.Str("kind"), "KF");
    EXPECT_EQ(ev.Int("checksum"), kfFile.wChecksum);
    data = ConnectTcp(m_addr, m_pPrinter->DataPort());
    WORD w = kfFile.wChecksum;
    EXPECT_EQ(Ask(data.Get(), Header20(0x46, 0x4B)),
              (Bytes{0x0E, BYTE(0xE0 | (w & 15)), BYTE(0xF0 | ((w >> 4) & 15)), BYTE(0xE0 | ((w >> 8) & 15)),
                     BYTE(0xF0 | (w >> 12)), 0x00}));

    m_pPrinter->Stop();
    std::vector<sim::SimEvent> events = m_pPrinter->Transcript();
    std::ifstream f(c.szTranscriptPath);
    std::vector<std::string> lines;
    for (std::string line; std::getline(f, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), events.size());
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], events[i].Json());
    EXPECT_NE(lines.front().find("\"event\":\"start\""), std::string::npos);
    EXPECT_NE(lines.back().find("\"event\":\"stop\""), std::string::npos);
}

TEST_F(LanTest, RefusesWhileToldAndWhileRestarting) {
    sim::Config c = Cfg();
    c.faults.bRefuse = true;
    c.timing.dwRestartMs = 60000;
    StartPrinter(c);
    int err = 0;
    EXPECT_FALSE(ConnectTcp(m_addr, m_pPrinter->DataPort(), &err));
    EXPECT_EQ(err, ECONNREFUSED);
    EXPECT_FALSE(ConnectTcp(m_addr, m_pPrinter->StatusPort(), &err));
    EXPECT_EQ(err, ECONNREFUSED);

    unsigned long long from = Mark();
    m_pPrinter->SetFaults(sim::Faults());
    ASSERT_TRUE(WaitLink("up", from));
    UniqueFd data = ConnectTcp(m_addr, m_pPrinter->DataPort());
    ASSERT_TRUE(data);

    from = Mark();
    m_pPrinter->PowerCycle();
    ASSERT_TRUE(WaitLink("down", from));
    EXPECT_TRUE(WaitClosed(data.Get(), kWait));  // the restart dropped the link
    EXPECT_FALSE(ConnectTcp(m_addr, m_pPrinter->DataPort(), &err));
    EXPECT_EQ(err, ECONNREFUSED);
}

TEST_F(LanTest, DropAfterCutsTheLinkAndTheNextTransferGoesThrough) {
    sim::Config c = Cfg();
    c.faults.cbDropAfter = 10000;
    StartPrinter(c);
    Bytes image = sim::BuildFirmwareImage(0x1F, 0x06, "VER1F06", sim::FillerBytes(40000, 5));
    unsigned long long from = Mark();
    UniqueFd data = ConnectTcp(m_addr, m_pPrinter->DataPort());
    ASSERT_TRUE(data);
    SendAll(data.Get(), image);  // fails part-way once the printer resets the link
    sim::SimEvent ev;
    ASSERT_TRUE(m_pPrinter->WaitForEvent("drop", kWait, &ev, from));
    EXPECT_EQ(ev.Int("after"), 10000);
    EXPECT_TRUE(WaitClosed(data.Get(), kWait));
    ASSERT_TRUE(m_pPrinter->WaitForEvent("transfer_end", kWait, &ev, from));
    EXPECT_EQ(ev.Str("result"), "dropped");

    from = Mark();
    data = ConnectTcp(m_addr, m_pPrinter->DataPort());
    ASSERT_TRUE(SendAll(data.Get(), image));
    ASSERT_TRUE(m_pPrinter->WaitForEvent("transfer_end", kWait, &ev, from));
    EXPECT_EQ(ev.Str("result"), "stored");
}

TEST_F(LanTest, SlowReaderTakesSmallBites) {
    sim::Config c = Cfg();
    c.faults.dwReadRate = 8000;  // bites of at most 400 bytes
    StartPrinter(c);
    UniqueFd data = ConnectTcp(m_addr, m_pPrinter->DataPort());
    ASSERT_TRUE(data);
    Bytes font = Header20(0x4B, 0x5A);
    Bytes body = sim::FillerBytes(6000, 8);
    font.insert(font.end(), body.begin(), body.end());
    unsigned long long from = Mark();
    ASSERT_TRUE(SendAll(data.Get(), font));
    ::shutdown(data.Get(), SHUT_WR);
    sim::SimEvent ev;
    ASSERT_TRUE(m_pPrinter->WaitForEvent("transfer_end", kWait, &ev, from));
    EXPECT_EQ(ev.Int("bytes"), 6020);
    std::string blocks = ev.Str("blocks");
    ASSERT_GT(blocks.size(), 2u);
    long total = 0;
    int n = 0;
    for (const char* p = blocks.c_str() + 1; *p;) {
        char* end = nullptr;
        long v = std::strtol(p, &end, 10);
        if (end == p) break;
        EXPECT_LE(v, 400);
        total += v;
        ++n;
        p = *end ? end + 1 : end;
    }
    EXPECT_GE(n, 15);
    EXPECT_EQ(ev.Int("reads"), n);
    EXPECT_EQ(total + 20, 6020) << blocks;
}

TEST_F(LanTest, BusyPrinterReportsItAndAnswersOnlyWhenReady) {
    sim::Config c = Cfg();
    c.faults.dwBusyMs = 400;
    StartPrinter(c);
    UniqueFd data = ConnectTcp(m_addr, m_pPrinter->DataPort());
    ASSERT_TRUE(data);
    ASSERT_TRUE(SendAll(data.Get(), StdCommand(0x01)));
    Bytes h, d;
    ASSERT_TRUE(StatusExchange(m_addr, m_pPrinter->StatusPort(), 0x00, 0, 8, &h, &d));
    sim::SimEvent ready, cmd;
    ASSERT_TRUE(m_pPrinter->WaitForEvent("command", kWait, &cmd));
    ASSERT_TRUE(m_pPrinter->WaitForEvent("ready", kWait, &ready));
    EXPECT_LT(ready.nSeq, cmd.nSeq);
    // The status read either came while busy (busy bit) or after "ready"; never a command first.
    std::vector<sim::SimEvent> ev = m_pPrinter->Transcript();
    for (const auto& e : ev) {
        if (e.szName == "status" && e.Str("request") == "OPT_GET_ASB" && e.nSeq < ready.nSeq) {
            EXPECT_EQ(e.Str("status").substr(0, 2), "08");
        }
    }
}

TEST_F(LanTest, SilentAndGarbageOverTheStatusChannel) {
    StartPrinter(Cfg());
    UniqueFd data = ConnectTcp(m_addr, m_pPrinter->DataPort());
    ASSERT_TRUE(data);
    sim::Faults f;
    f.bSilent = true;
    unsigned long long from = Mark();
    m_pPrinter->SetFaults(f);
    ASSERT_TRUE(m_pPrinter->WaitForEvent("faults", kWait, nullptr, from));
    EXPECT_TRUE(Ask(data.Get(), StdCommand(0x01)).empty());
    f.bSilent = false;
    f.bGarbage = true;
    from = Mark();
    m_pPrinter->SetFaults(f);
    ASSERT_TRUE(m_pPrinter->WaitForEvent("faults", kWait, nullptr, from));
    Bytes g = Ask(data.Get(), StdCommand(0x01));
    EXPECT_EQ(g.size(), 4u);
    EXPECT_NE(g, (Bytes{0x0E, 0xEF, 0xF1, 0x00}));
}

TEST_F(LanTest, AnswersDiscoveryQueries) {
    sim::Config c = Cfg();
    c.state.szName = "Kitchen";
    StartPrinter(c);
    ASSERT_NE(m_pPrinter->DiscoveryPort(), 0);
    UniqueFd u(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(m_pPrinter->DiscoveryPort());
    inet_pton(AF_INET, m_addr.c_str(), &a.sin_addr);
    Bytes q{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x88, 0x00, 0x00, 0x00, 0x00, 0x73, 0x00};
    ASSERT_EQ(::sendto(u.Get(), q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a), 13);
    pollfd p{u.Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, static_cast<int>(kWait)), 1);
    BYTE buf[4109] = {};  // bytes beyond the datagram read as zero
    ssize_t n = ::recv(u.Get(), buf, sizeof buf, 0);
    ASSERT_GE(n, 90);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x5A, 0x41, 0x51, 0x00}));
    EXPECT_EQ(buf[6], 0x88);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf + 29), 12), "024B56000001");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf + 41)), m_addr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf + 57)), "Kitchen");
    sim::SimEvent ev;
    ASSERT_TRUE(m_pPrinter->WaitForEvent("discovery", kWait, &ev));
    EXPECT_EQ(ev.Str("answered"), "true");
}

// Broadcast discovery runs only inside a namespace of its own: a veth pair, the printer on
// one end, the query sent to the directed broadcast address of the other.
TEST_F(LanTest, AnswersBroadcastDiscoveryInsideANamespace) {
    std::string skip;
    Bytes reply;
    sim::SimEvent ev;
    std::thread t([&] {
        // Only this thread (and what it starts) enters the new namespace.
        if (::unshare(CLONE_NEWNET) != 0) {
            skip = "no network namespace (needs root)";
            return;
        }
        const char* setup =
            "ip link set lo up && ip link add v0 type veth peer name v1 && ip addr add 10.77.0.1/24 brd + dev v0 && "
            "ip addr add 10.77.0.2/24 brd + dev v1 && ip link set v0 up && ip link set v1 up";
        if (std::system(setup) != 0) {
            skip = "cannot make a veth pair";
            return;
        }
        sim::Config c = Cfg();
        c.lan.szAddress = "10.77.0.2";
        c.lan.bDiscoveryAny = true;
        sim::Printer printer(c);
        ASSERT_TRUE(printer.Start());
        UniqueFd u(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        int one = 1;
        ASSERT_EQ(::setsockopt(u.Get(), SOL_SOCKET, SO_BROADCAST, &one, sizeof one), 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(printer.DiscoveryPort());
        inet_pton(AF_INET, "10.77.0.255", &a.sin_addr);
        Bytes q{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x88, 0x00, 0x00, 0x00, 0x00, 0x73, 0x00};
        ASSERT_EQ(::sendto(u.Get(), q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a), 13);
        pollfd p{u.Get(), POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, static_cast<int>(kWait)), 1);
        BYTE buf[4109] = {};
        ssize_t n = ::recv(u.Get(), buf, sizeof buf, 0);
        ASSERT_GE(n, 90);
        reply.assign(buf, buf + n);
        ASSERT_TRUE(printer.WaitForEvent("discovery", kWait, &ev));
    });
    t.join();
    if (!skip.empty()) GTEST_SKIP() << skip;
    ASSERT_GE(reply.size(), 90u);
    EXPECT_EQ(reply[6], 0x88);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&reply[41])), "10.77.0.2");
    EXPECT_EQ(ev.Str("answered"), "true");
}

TEST_F(LanTest, ChildProcessReportsItsPortsAndItsTranscript) {
    std::string transcript = m_dir + "/child.jsonl";
    sim::PrinterProcess child;
    ASSERT_TRUE(child.Start(KELVO_SIM_EXE,
                            {"--address=" + m_addr, "--data-port=0", "--status-port=0", "--discovery-port", "0",
                             "--timing=fast", "--type-id=26", "--transcript=" + transcript}));
    ASSERT_NE(child.DataPort(), 0);
    UniqueFd data = ConnectTcp(m_addr, child.DataPort());
    ASSERT_TRUE(data);
    Bytes cmd(32, 0x00);
    Bytes ext = ExtCommand(0x01);
    cmd.insert(cmd.end(), ext.begin(), ext.end());
    ASSERT_TRUE(SendAll(data.Get(), cmd));
    // Poll the status channel until the answer is there: the child has no in-process wait.
    Bytes h, d;
    for (int i = 0; i < 1000 && d.empty(); ++i)
        ASSERT_TRUE(StatusExchange(m_addr, child.StatusPort(), 0x80, 0, 4096, &h, &d));
    EXPECT_EQ(d, (Bytes{0x10, 0x3E, 0xE6, 0xF2, 0x00}));
    data.Reset();
    EXPECT_EQ(child.Stop(), 0);
    std::ifstream f(transcript);
    std::string all((std::istreambuf_iterator<char>(f)), {});
    EXPECT_NE(all.find("\"event\":\"start\""), std::string::npos);
    EXPECT_NE(all.find("\"answer\":\"10 3E E6 F2 00\""), std::string::npos);
    EXPECT_NE(all.find("\"event\":\"stop\""), std::string::npos);
}

TEST_F(LanTest, ChildProcessThatCannotBindFailsToStart) {
    sim::PrinterProcess child;
    EXPECT_FALSE(child.Start(KELVO_SIM_EXE, {"--address=10.255.255.254", "--data-port=0", "--status-port=0",
                                             "--discovery-port=0"}));
    EXPECT_EQ(child.Pid(), -1);
}

TEST(SimCliTest, EveryFlagParsesAndIsDocumented) {
    std::vector<std::string> args = {
        "--address=127.9.9.9", "--data-port=0", "--status-port=1", "--discovery-port=2", "--discovery-any",
        "--type-id=26", "--rom-id=0xF1", "--version-text=ABCDEFGH", "--checksum-kanji=1234", "--checksum-codepage=BEEF",
        "--checksum-cpcl=0102", "--checksum-zpl=a55a", "--boot-mode", "--command-set=extended", "--sprinkle",
        "--name=Bar", "--mac=02:4B:56:33:44:55", "--timing=fast", "--flash-ms=11", "--restart-ms=12",
        "--data-idle-ms=13", "--silent", "--drop-after=99", "--drop-count=2", "--refuse", "--garbage",
        "--wrong-rom-id=04", "--read-rate=100", "--busy-ms=7", "--transcript=/tmp/x.jsonl"};
    sim::Config c;
    bool bHelp = true;
    std::string err;
    ASSERT_TRUE(sim::ParseRunArgs(args, &c, &bHelp, &err)) << err;
    EXPECT_FALSE(bHelp);
    EXPECT_EQ(c.lan.szAddress, "127.9.9.9");
    EXPECT_EQ(c.lan.wDataPort, 0);
    EXPECT_EQ(c.lan.wStatusPort, 1);
    EXPECT_EQ(c.lan.wDiscoveryPort, 2);
    EXPECT_TRUE(c.lan.bDiscoveryAny);
    EXPECT_EQ(c.state.bTypeId, 0x26);
    EXPECT_EQ(c.state.bRomId, 0xF1);
    EXPECT_EQ(c.state.szVersion, "ABCDEFGH");
    EXPECT_EQ(c.state.wChecksum, (std::array<WORD, 4>{0x1234, 0xBEEF, 0x0102, 0xA55A}));
    EXPECT_TRUE(c.state.bBootMode);
    EXPECT_EQ(c.state.sets, sim::CommandSets::Extended);
    EXPECT_TRUE(c.state.bSprinkle);
    EXPECT_EQ(c.state.szName, "Bar");
    EXPECT_EQ(c.state.mac[5], 0x55);
    EXPECT_EQ(c.timing.dwFlashMs, 11u);
    EXPECT_EQ(c.timing.dwRestartMs, 12u);
    EXPECT_EQ(c.timing.dwDataIdleMs, 13u);
    EXPECT_TRUE(c.faults.bSilent && c.faults.bRefuse && c.faults.bGarbage);
    EXPECT_EQ(c.faults.cbDropAfter, 99u);
    EXPECT_EQ(c.faults.nDropCount, 2u);
    EXPECT_EQ(c.faults.nWrongRomId, 4);
    EXPECT_EQ(c.faults.dwReadRate, 100u);
    EXPECT_EQ(c.faults.dwBusyMs, 7u);
    EXPECT_EQ(c.szTranscriptPath, "/tmp/x.jsonl");

    std::string help = sim::RunHelp();
    for (std::string a : args) {
        a = a.substr(0, a.find('='));
        EXPECT_NE(help.find(a), std::string::npos) << a;
    }
    for (const char* extra : {"--no-discovery", "--help"}) EXPECT_NE(help.find(extra), std::string::npos);
    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--bogus"}, {"--type-id=1FF"}, {"--timing=slow"}, {"--silent=1"}, {"--rom-id"}, {"--mac=02:4B"}})
        EXPECT_FALSE(sim::ParseRunArgs(bad, &c, &bHelp, &err)) << bad[0];
}

TEST(SimCliTest, MakeUpdateWritesNamedFiles) {
    char tmpl[] = "/tmp/kelvo-simmk-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    std::string cmd = std::string(KELVO_SIM_EXE) + " make-update --kind=FW --type-id=2A --rom-id=0C --size=100 --out-dir=" +
                      dir + " >/dev/null && " + KELVO_SIM_EXE + " make-update --kind CF --type-id 2A --size 50 --out-dir " +
                      dir + " >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    Bytes fw = ReadFile(dir + "/FW2A0CSIM.bin");
    ASSERT_EQ(fw.size(), sim::FW_HEADER_LEN + 100);
    sim::FirmwareHeader h;
    ASSERT_TRUE(sim::ParseFirmwareHeader(fw, &h));
    EXPECT_EQ(h.bTypeId, 0x2A);
    EXPECT_EQ(h.bRomId, 0x0C);
    EXPECT_EQ(h.szVersion, "VER2A0C");
    EXPECT_EQ(ReadFile(dir + "/CF2ASIM.bin").size(), 50u);
    std::string rm = "rm -rf '" + dir + "'";
    (void)!std::system(rm.c_str());
}

}  // namespace
