#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "discovery/UtilTcp.h"
#include "log/Log.h"
#include "sim/Sim.h"
#include "platform/UniqueFd.h"
#include "support/NetNs.h"
#include "support/TempDir.h"

namespace {

std::string AddrText(std::uint32_t networkOrder) {
    char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &networkOrder, text, sizeof text);
    return text;
}

TEST(DirectedBroadcast, HostBitsSetByPrefixLength) {
    const struct {
        const char* addr;
        int prefix;
        const char* broadcast;
    } cases[] = {
        {"192.168.10.5", 24, "192.168.10.255"},
        {"172.16.3.4", 20, "172.16.15.255"},
        {"10.1.2.3", 0, "255.255.255.255"},
        {"10.1.2.3", 8, "10.255.255.255"},
        {"10.1.2.3", 31, "10.1.2.3"},
    };
    for (const auto& c : cases) {
        in_addr a{};
        ASSERT_EQ(::inet_pton(AF_INET, c.addr, &a), 1);
        EXPECT_EQ(AddrText(DirectedBroadcast(a.s_addr, c.prefix)), c.broadcast) << c.addr << "/" << c.prefix;
    }
}

TEST(TypedPrinterAddress, TakesOnlyAUsableDottedIpv4Address) {
    const struct {
        const char* text;
        std::optional<std::uint32_t> addr;
    } cases[] = {
        {"192.168.0.10", 0xC0A8000Au},
        {"  10.1.2.3\t", 0x0A010203u},
        {"127.0.0.9", 0x7F000009u},
        {"", std::nullopt},
        {"192.168.0", std::nullopt},
        {"192.168.0.256", std::nullopt},
        {"192.168.0.10.5", std::nullopt},
        {"0x7f.0.0.1", std::nullopt},
        {"printer.local", std::nullopt},
        {"192.168.0.10 x", std::nullopt},
        {"0.0.0.0", std::nullopt},
        {"0.1.2.3", std::nullopt},
        {"224.0.0.1", std::nullopt},
        {"255.255.255.255", std::nullopt},
        {"::1", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(TypedPrinterAddress(c.text), c.addr) << c.text;
    EXPECT_EQ(DottedAddress(0xC0A8000Au), "192.168.0.10");
}

TEST(PortLines, NameIsTheTextBeforeTheFirstTab) {
    EXPECT_EQ(PortNameOfLine("192.168.0.5\t [\"P\", 00:11]"), "192.168.0.5");
    EXPECT_EQ(PortNameOfLine("USB001"), "USB001");
    CPortLineList list;
    list.AddSorted("USB003");
    list.AddSorted("USB001");
    list.Append("USB000");
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{"USB001", "USB003", "USB000"}));
}

// One scripted reply: where it comes from and its bytes.
struct ScriptedReply {
    std::string from;
    std::vector<unsigned char> bytes;
};

std::vector<unsigned char> Reply(const std::string& addr, const std::string& name, const std::string& mac,
                                 const char* signature = "ZAQ", unsigned char command = 0x88) {
    std::vector<unsigned char> r(128, 0);
    std::memcpy(r.data(), signature, 3);
    r[6] = command;
    std::memcpy(r.data() + 29, mac.data(), std::min<std::size_t>(mac.size(), 12));
    std::memcpy(r.data() + 41, addr.data(), std::min<std::size_t>(addr.size(), 16));
    std::memcpy(r.data() + 57, name.data(), std::min<std::size_t>(name.size(), 33));
    return r;
}

// Answers every discovery query it hears on UDP 26100 with its script, each reply sent
// from its own source address. Lives in the namespace of the thread that starts it.
class ScriptedResponder {
public:
    explicit ScriptedResponder(std::vector<ScriptedReply> script) : m_script(std::move(script)) {}
    ~ScriptedResponder() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    bool Start() {
        m_listen.Reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(26100);
        timeval tv{0, 50000};
        ::setsockopt(m_listen.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        if (::bind(m_listen.Get(), reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) return false;
        for (const auto& r : m_script) {
            UniqueFd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            sockaddr_in src{};
            src.sin_family = AF_INET;
            ::inet_pton(AF_INET, r.from.c_str(), &src.sin_addr);
            if (::bind(s.Get(), reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) return false;
            m_senders.push_back(std::move(s));
        }
        m_thread = std::thread([this] { Serve(); });
        return true;
    }
    int Queries() const { return m_queries; }

private:
    void Serve() {
        while (!m_stop) {
            unsigned char query[64];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = ::recvfrom(m_listen.Get(), query, sizeof query, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n != 13 || std::memcmp(query, "ZAQ\0\0\xC0\x88\0\0\0\0\x73\0", 13) != 0) continue;
            ++m_queries;
            for (std::size_t i = 0; i < m_script.size(); ++i) {
                ::sendto(m_senders[i].Get(), m_script[i].bytes.data(), m_script[i].bytes.size(), 0,
                         reinterpret_cast<sockaddr*>(&from), len);
            }
        }
    }

    std::vector<ScriptedReply> m_script;
    UniqueFd m_listen;
    std::vector<UniqueFd> m_senders;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_queries{0};
};

class LanDiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!m_net.ok) GTEST_SKIP() << "needs root to make network namespaces (ip netns); not run here";
        std::filesystem::create_directories(m_root / "var/log");
        ::setenv("KELVO_SYSROOT", m_root.Path().c_str(), 1);
        LogResetForTest();
        LogSetup(0xFFF, "Discovery");
        ASSERT_TRUE(m_net.near.Ip("addr add 192.168.10.5/24 dev " + m_net.nearIf));
    }
    void TearDown() override {
        LogResetForTest();
        ::unsetenv("KELVO_SYSROOT");
    }
    std::vector<std::string> Search(int* pFound) {
        CPortLineList list;
        std::vector<std::string> entries(256);
        EXPECT_TRUE(m_net.near.RunInside([&] {
            CUtilTcp util;
            *pFound = util.EnumPorts(&list, entries);
        }));
        return list.Lines();
    }

    TempDir m_root;
    TestNetnsPair m_net;
};

// A datagram that ends inside the fields is read only as far as it goes: the rest of the
// buffer still holds a longer name and must not show.
TEST(DiscoveryReply, FieldsEndWithTheDatagram) {
    TempDir root;
    std::filesystem::create_directories(root / "var/log");
    ::setenv("KELVO_SYSROOT", root.Path().c_str(), 1);
    LogResetForTest();
    LogSetup(0xFFF, "Discovery");
    const std::vector<unsigned char> reply = Reply("10.0.0.2", "PrinterLong", "024B563344AA");
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ASSERT_EQ(::inet_pton(AF_INET, "10.0.0.2", &from.sin_addr), 1);
    const struct {
        std::size_t cbReply;
        DWORD nKept;
        const char* pszName;
    } cases[] = {
        {60, 1, "Pri"},  // cut three bytes into the name
        {57, 1, ""},     // at the start of the name
        {45, 1, ""},     // inside the address: still listed under its sender
        {30, 1, ""},     // inside the MAC
    };
    {
        CUtilTcp util;
        for (const auto& c : cases) {
            util.nDevices = 0;
            util.KeepReply(reply.data(), c.cbReply, from);
            EXPECT_EQ(util.nDevices, c.nKept) << c.cbReply;
            if (util.nDevices == 1) {
                EXPECT_EQ(util.szDevName[0], c.pszName) << c.cbReply;
                EXPECT_EQ(util.szDevAddr[0], "10.0.0.2");
                if (c.cbReply >= 41) {
                    EXPECT_EQ(util.szDevMac[0], "02:4B:56:33:44:AA");
                }
            }
        }
    }
    LogResetForTest();
    ::unsetenv("KELVO_SYSROOT");
}

// A reply whose address field names another host came from its sender: it is listed
// under the sender's address (where the printer answered), once, and the difference is
// logged.
TEST(DiscoveryReply, AddressFieldThatDiffersFromTheSenderIsListedUnderTheSenderAndLogged) {
    TempDir root;
    std::filesystem::create_directories(root / "var/log");
    ::setenv("KELVO_SYSROOT", root.Path().c_str(), 1);
    LogResetForTest();
    LogSetup(0xFFF, "Discovery");
    sockaddr_in from{};
    from.sin_family = AF_INET;
    ASSERT_EQ(::inet_pton(AF_INET, "10.0.0.2", &from.sin_addr), 1);
    {
        CUtilTcp util;
        const std::vector<unsigned char> stale = Reply("192.168.1.50", "Behind NAT", "024B563344AB");
        util.KeepReply(stale.data(), stale.size(), from);
        util.KeepReply(stale.data(), stale.size(), from);  // the same sender again: one line
        ASSERT_EQ(util.nDevices, 1u);
        EXPECT_EQ(util.szDevAddr[0], "10.0.0.2");
        EXPECT_EQ(util.szDevName[0], "Behind NAT");
    }
    LogFlush();
    const std::string log = ReadWholeFile(root / "var/log/ZAQ/Logs/Discovery.log");
    EXPECT_NE(log.find("GetOptPortDataUDP reply names [192.168.1.50], listed under its sender [10.0.0.2]"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("GetOptPortDataUDP Added [Behind NAT,10.0.0.2]"), std::string::npos);
    LogResetForTest();
    ::unsetenv("KELVO_SYSROOT");
}

TEST_F(LanDiscoveryTest, TargetsAreTheBroadcastsOfUsableAddresses) {
    ASSERT_TRUE(m_net.near.Ip("addr add 172.16.3.4/20 dev " + m_net.nearIf));
    ASSERT_TRUE(m_net.near.Ip("addr add 10.1.2.3/32 dev " + m_net.nearIf));  // a host route: skipped
    ASSERT_TRUE(m_net.near.Ip("link add kd0 type veth peer name kd1"));
    ASSERT_TRUE(m_net.near.Ip("addr add 10.250.0.1/0 dev kd0"));
    std::set<std::string> got;
    DWORD cTargets = 0;
    ASSERT_TRUE(m_net.near.RunInside([&] {
        CUtilTcp util;
        sockaddr_in targets[10];
        cTargets = 10;
        EXPECT_EQ(util.GetBroadcastTargets(targets, &cTargets), 0u);
        for (DWORD i = 0; i < cTargets; ++i) {
            EXPECT_EQ(ntohs(targets[i].sin_port), 26100);
            got.insert(AddrText(targets[i].sin_addr.s_addr));
        }
    }));
    EXPECT_EQ(cTargets, 3u);
    EXPECT_EQ(got, (std::set<std::string>{"192.168.10.255", "172.16.15.255", "255.255.255.255"}));
}

TEST_F(LanDiscoveryTest, AtMostTenTargets) {
    ASSERT_TRUE(m_net.near.Ip("link add kd0 type veth peer name kd1"));
    for (int i = 0; i < 12; ++i) ASSERT_TRUE(m_net.near.Ip("addr add 10." + std::to_string(i + 1) + ".0.1/16 dev kd0"));
    DWORD cTargets = 10;
    ASSERT_TRUE(m_net.near.RunInside([&] {
        CUtilTcp util;
        sockaddr_in targets[10];
        EXPECT_EQ(util.GetBroadcastTargets(targets, &cTargets), 0u);
    }));
    EXPECT_EQ(cTargets, 10u);
}

TEST_F(LanDiscoveryTest, OnlyWellFormedRepliesAreListedUnderTheirSendersInArrivalOrder) {
    for (const char* a : {"192.168.10.7/24", "192.168.10.8/24", "192.168.10.9/24"}) {
        ASSERT_TRUE(m_net.far.Ip(std::string("addr add ") + a + " dev " + m_net.farIf));
    }
    const std::string longName(40, 'N');
    std::vector<unsigned char> tooShort = Reply("192.168.10.8", "Short", "024B56334455");
    tooShort.resize(12);
    ScriptedResponder responder({
        {"192.168.10.7", Reply("192.168.10.7", "PrinterA", "024B563344AA")},
        {"192.168.10.7", Reply("192.168.10.7", "PrinterA again", "024B563344AA")},  // duplicate address
        {"192.168.10.8", tooShort},
        {"192.168.10.8", Reply("192.168.10.8", "Other", "024B56334455", "ZAX")},
        {"192.168.10.8", Reply("192.168.10.8", "Other", "024B56334455", "ZAQ", 0x87)},
        {"192.168.10.9", Reply("192.168.10.50", "Behind NAT", "024B56334456")},  // names another host
        {"192.168.10.8", Reply("192.168.10.8", longName, "024B56D3E4F5")},
    });
    bool started = false;
    ASSERT_TRUE(m_net.far.RunInside([&] { started = responder.Start(); }));
    ASSERT_TRUE(started);

    int found = 0;
    auto lines = Search(&found);
    EXPECT_EQ(responder.Queries(), 1);
    EXPECT_EQ(found, 3);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "192.168.10.7\t [\"PrinterA\", 02:4B:56:33:44:AA]",
                         "192.168.10.9\t [\"Behind NAT\", 02:4B:56:33:44:56]",
                         "192.168.10.8\t [\"" + std::string(31, 'N') + "\", 02:4B:56:D3:E4:F5]",
                     }));
    std::string log = ReadWholeFile(m_root / "var/log/ZAQ/Logs/Discovery.log");
    EXPECT_NE(log.find("GetOptPortDataUDP reply names [192.168.10.50], listed under its sender [192.168.10.9]"),
              std::string::npos);
}

TEST_F(LanDiscoveryTest, NoMoreThanThirtyTwoPrinters) {
    std::vector<ScriptedReply> script;
    for (int i = 0; i < 40; ++i) {
        std::string addr = "192.168.10." + std::to_string(100 + i);
        ASSERT_TRUE(m_net.far.Ip("addr add " + addr + "/24 dev " + m_net.farIf));
        script.push_back({addr, Reply(addr, "P" + std::to_string(i), "024B56334455")});
    }
    ScriptedResponder responder(std::move(script));
    bool started = false;
    ASSERT_TRUE(m_net.far.RunInside([&] { started = responder.Start(); }));
    ASSERT_TRUE(started);
    int found = 0;
    auto lines = Search(&found);
    EXPECT_EQ(found, 32);
    ASSERT_EQ(lines.size(), 32u);
    EXPECT_TRUE(lines.front().starts_with("192.168.10.100\t"));
    EXPECT_TRUE(lines.back().starts_with("192.168.10.131\t"));
    LogFlush();
    std::string log = ReadWholeFile(m_root / "var/log/ZAQ/Logs/Discovery.log");
    EXPECT_NE(log.find("GetOptPortDataUDP reaches max devices(32)"), std::string::npos);
}

TEST_F(LanDiscoveryTest, SimulatedPrinterOnTheFarEndIsFound) {
    ASSERT_TRUE(m_net.far.Ip("addr add 192.168.10.7/24 dev " + m_net.farIf));
    sim::Config config;
    config.timing = sim::Timing::Fast();
    config.lan.szAddress = "192.168.10.7";
    config.lan.bDiscoveryAny = true;  // hears the broadcast
    config.state.szName = "Counter 2";
    config.state.mac = {0x02, 0x4B, 0x56, 0xAB, 0xCD, 0xEF};
    std::unique_ptr<sim::Printer> printer;
    ASSERT_TRUE(m_net.far.RunInside([&] {
        printer = std::make_unique<sim::Printer>(config);
        ASSERT_TRUE(printer->Start());
    }));
    int found = 0;
    auto lines = Search(&found);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(lines, (std::vector<std::string>{"192.168.10.7\t [\"Counter 2\", 02:4B:56:AB:CD:EF]"}));
    EXPECT_TRUE(printer->WaitForEvent("discovery", 1000));
}

}  // namespace
