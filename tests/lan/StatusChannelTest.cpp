#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>
#include <vector>

#include "LanFixture.h"
#include "platform/UniqueFd.h"

namespace {

using Bytes = std::vector<BYTE>;

Bytes Header(BYTE cmd, WORD cbData, WORD wCounter = 0, const char* sig = "ZAQ") {
    Bytes h = {BYTE(sig[0]), BYTE(sig[1]), BYTE(sig[2]), 0x00, 0x00, 0xC0, cmd, 0x00, 0x00,
               BYTE(wCounter & 0xFF), BYTE(wCounter >> 8), BYTE(cbData & 0xFF), BYTE(cbData >> 8)};
    return h;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A TCP socket bound to address on a port the kernel chooses; 0 when it cannot be bound.
WORD BindFreePort(const std::string& address, const UniqueFd& fd) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    socklen_t len = sizeof a;
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&a), len) != 0 ||
        ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

// A status-channel peer that answers each request with the next scripted reply, sent in
// the pieces given (a short pause between pieces), and records the requests. Its data
// port is bound but never listens: the data channel is refused, as no test here uses it.
class ScriptedStatusPeer {
public:
    ScriptedStatusPeer(const std::string& address, std::vector<std::vector<Bytes>> replies)
        : m_replies(std::move(replies)) {
        m_data.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        m_wDataPort = BindFreePort(address, m_data);
        m_listen.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        m_wPort = BindFreePort(address, m_listen);
        if (m_wPort != 0 && ::listen(m_listen.Get(), 4) != 0) m_wPort = 0;
        m_thread = std::thread([this] { Serve(); });
    }
    ~ScriptedStatusPeer() {
        ::shutdown(m_listen.Get(), SHUT_RDWR);
        m_thread.join();
    }
    // The value of KELVO_LAN_PORTS that points the driver here.
    std::string LanPorts() const { return std::to_string(m_wDataPort) + "," + std::to_string(m_wPort); }
    std::vector<Bytes> Requests() {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }

private:
    void Serve() {
        for (const auto& pieces : m_replies) {
            UniqueFd conn(::accept(m_listen.Get(), nullptr, nullptr));
            if (!conn) return;
            Bytes request(13);
            if (::recv(conn.Get(), request.data(), request.size(), MSG_WAITALL) != 13) return;
            {
                std::lock_guard lock(m_mutex);
                m_requests.push_back(request);
            }
            for (std::size_t i = 0; i < pieces.size(); ++i) {
                if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
                ::send(conn.Get(), pieces[i].data(), pieces[i].size(), MSG_NOSIGNAL);
            }
            // Hold the line until the driver closes it.
            BYTE scratch[64];
            while (::recv(conn.Get(), scratch, sizeof scratch, 0) > 0) {
            }
        }
    }

    UniqueFd m_data;
    WORD m_wDataPort = 0;
    UniqueFd m_listen;
    WORD m_wPort = 0;
    std::vector<std::vector<Bytes>> m_replies;
    std::mutex m_mutex;
    std::vector<Bytes> m_requests;
    std::thread m_thread;
};

struct ExchangeCase {
    const char* name;
    int nMode;
    DWORD cbBuffer;
    std::vector<Bytes> pieces;
    int nResult;
    Bytes data;
    const char* logLine;
};

using StatusChannelTest = LanFixture;

TEST_F(StatusChannelTest, RepliesAreCheckedAndNeverReadPastTheBuffer) {
    const Bytes asb = {1, 2, 3, 4, 5, 6, 7, 8};
    const Bytes ten(10, 0x41), twenty(20, 0x42), big(300, 0x43);
    const std::vector<ExchangeCase> cases = {
        {"status", OPT_GET_ASB, 8, {Concat(Header(0x00, 8), asb)}, 8, asb, "GetOptPortData [OPT_GET_ASB]"},
        {"short header", OPT_GET_ASB, 8, {Bytes(10, 0x5A)}, 0, {}, "bad header size (10)"},
        {"signature", OPT_GET_ASB, 8, {Concat(Header(0x00, 8, 0, "ZAX"), asb)}, 0, {}, "bad header data (5a)"},
        {"command", OPT_GET_ASB, 8, {Concat(Header(0x80, 8), asb)}, 0, {}, "bad header cmd [80] [00]"},
        {"status length", OPT_GET_ASB, 8, {Concat(Header(0x00, 6), Bytes(6, 9))}, 0, {}, "(bad data len:6!=8)"},
        {"more than the buffer", OPT_REC_RAW, 64, {Concat(Header(0x80, 300), big)}, 0, {}, "[RecData:300],[Buf:64],[RecDataLen:300]"},
        {"in pieces", OPT_REC_RAW, 64, {Header(0x80, 30), ten, twenty}, 30, Concat(ten, twenty), "(30/30byte)"},
        {"rest never comes", OPT_REC_RAW, 64, {Concat(Header(0x80, 30), ten)}, 10, ten, "timeout (10/30byte)"},
        {"nothing queued", OPT_REC_RAW, 64, {Header(0x80, 0)}, 0, {}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedStatusPeer peer(m_szAddress, {c.pieces});
        ::setenv("KELVO_LAN_PORTS", peer.LanPorts().c_str(), 1);
        CLan lan(m_szAddress.c_str());
        ASSERT_TRUE(lan.Init());
        ASSERT_TRUE(lan.Open());
        Bytes buffer(c.cbBuffer + 16, 0xEE);
        EXPECT_EQ(lan.GetOptPortData(c.nMode, buffer.data(), c.cbBuffer), c.nResult);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + static_cast<long>(c.data.size())), c.data);
        EXPECT_EQ(buffer[c.cbBuffer], 0xEE);  // nothing past the buffer
        if (c.logLine != nullptr) {
            EXPECT_NE(LogText().find(c.logLine), std::string::npos) << c.logLine;
        }
        lan.Close(FALSE);
    }
}

TEST_F(StatusChannelTest, RequestsCarryTheReceiveCounterAndTheBufferSize) {
    ScriptedStatusPeer peer(m_szAddress, {{Concat(Header(0x80, 2, 0x1234), Bytes{0x0E, 0x00})}, {Header(0x80, 0)}});
    ::setenv("KELVO_LAN_PORTS", peer.LanPorts().c_str(), 1);
    CLan lan(m_szAddress.c_str());
    ASSERT_TRUE(lan.Init());
    ASSERT_TRUE(lan.Open());
    BYTE buf[4096];
    EXPECT_EQ(lan.GetOptPortData(OPT_REC_RAW, buf, sizeof buf), 2);
    lan.Close(FALSE);
    EXPECT_EQ(lan.GetOptPortData(OPT_REC_RAW, buf, 300), 0);
    auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], (Bytes{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10}));
    EXPECT_EQ(requests[1], (Bytes{0x5A, 0x41, 0x51, 0x00, 0x00, 0xC0, 0x80, 0x00, 0x00, 0x34, 0x12, 0x2C, 0x01}));
}

TEST_F(StatusChannelTest, NoReplyEndsTheExchangeAfterFiveSeconds) {
    ScriptedStatusPeer peer(m_szAddress, {{}});
    ::setenv("KELVO_LAN_PORTS", peer.LanPorts().c_str(), 1);
    CLan lan(m_szAddress.c_str());
    ASSERT_TRUE(lan.Init());
    ASSERT_TRUE(lan.Open());
    BYTE buf[8];
    EXPECT_EQ(lan.GetOptPortData(OPT_GET_ASB, buf, sizeof buf), 0);
    EXPECT_NE(LogText().find("GetOptPortData bad header size (0)"), std::string::npos);
    lan.Close(FALSE);
}

}  // namespace
