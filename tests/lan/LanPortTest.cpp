#include <arpa/inet.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>
#include <vector>

#include "LanFixture.h"
#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"
#include "support/NetNs.h"
#include "support/SimExchange.h"

namespace {

using LanPortTest = LanFixture;

TEST_F(LanPortTest, FirstReadIsTheStatusThenAnswersComeThroughTheStatusChannel) {
    StartPrinter();
    OpenPort();
    BYTE status[16];
    DWORD cb = 0;
    ASSERT_TRUE(pfnReadPort(m_hSdk, status, sizeof status, &cb));
    EXPECT_EQ(cb, 8u);  // the automatic status, nothing else
    ASSERT_TRUE(m_pPrinter->WaitForEvent("status", 1000, nullptr, 0,
                                         [](const sim::SimEvent& e) { return e.Str("request") == "OPT_GET_ASB"; }));

    ASSERT_TRUE(pfnReadPortEx(m_hSdk, status, sizeof status, &cb, 0));
    EXPECT_EQ(cb, 0u);  // nothing queued: success with no bytes

    std::vector<BYTE> text(100, 'x');
    std::vector<BYTE> cmd = DeviceIdCommand();
    text.insert(text.end(), cmd.begin(), cmd.end());
    DWORD cbWritten = 0;
    ASSERT_TRUE(pfnWritePortEx(m_hSdk, text.data(), static_cast<DWORD>(text.size()), &cbWritten, 5000));
    EXPECT_EQ(cbWritten, text.size());
    EXPECT_EQ(ReadAnswer(m_hSdk), kDeviceIdAnswer);

    sim::SimEvent ignored;
    ASSERT_TRUE(m_pPrinter->WaitForEvent("ignored", 1000, &ignored));
    EXPECT_EQ(ignored.Int("bytes"), 132);  // the text and the command's NUL lead-in
    EXPECT_NE(LogText().find("Transmitted (" + m_szAddress + ") [135byte]"), std::string::npos);
}

TEST_F(LanPortTest, LargeWriteArrivesWholeInChunks) {
    StartPrinter();
    OpenPort();
    std::vector<BYTE> data(200000, 'A');
    std::vector<BYTE> cmd = DeviceIdCommand();
    data.insert(data.end(), cmd.begin(), cmd.end());
    DWORD cbWritten = 0;
    ASSERT_TRUE(pfnWritePortEx(m_hSdk, data.data(), static_cast<DWORD>(data.size()), &cbWritten, 20000));
    EXPECT_EQ(cbWritten, data.size());
    sim::SimEvent ignored;
    ASSERT_TRUE(m_pPrinter->WaitForEvent("ignored", 5000, &ignored));
    EXPECT_EQ(ignored.Int("bytes"), 200032);
    // Every dumped chunk is at most 1460 bytes.
    std::string log = LogText();
    EXPECT_NE(log.find("[1460byte]"), std::string::npos);
    EXPECT_EQ(log.find("[1461byte]"), std::string::npos);
}

TEST_F(LanPortTest, WriterTimeOutReportsThePartTakenAndCancelStopsASlowWrite) {
    sim::Faults slow;
    slow.dwReadRate = 200000;  // bytes per second
    StartPrinter(slow);
    OpenPort();
    std::vector<BYTE> data(2000000, 'B');
    DWORD cbWritten = 0;
    // With a count, a write cut short by its time is a success; the caller compares.
    EXPECT_TRUE(pfnWritePortEx(m_hSdk, data.data(), static_cast<DWORD>(data.size()), &cbWritten, 300));
    EXPECT_GT(cbWritten, 0u);
    EXPECT_LT(cbWritten, data.size());
    // Without a count it is a failure.
    EXPECT_FALSE(pfnWritePortEx(m_hSdk, data.data(), static_cast<DWORD>(data.size()), nullptr, 300));
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);

    // A long write, cancelled from another thread (again until the write gives up, so
    // a cancel that lands before the write began cannot let it run to the end).
    std::atomic<bool> done{false};
    std::thread canceller([&] {
        while (!done) {
            pfnCancelPort(m_hSdk);
            m_pPrinter->WaitForEvent("never", 50);
        }
    });
    DWORD cbSecond = 0;
    EXPECT_FALSE(pfnWritePortEx(m_hSdk, data.data(), static_cast<DWORD>(data.size()), &cbSecond, 60000));
    DWORD dwCancel = GetLastError();
    done = true;
    canceller.join();
    EXPECT_TRUE(dwCancel == ERROR_CANCELLED || dwCancel == ERROR_TIMEOUT) << dwCancel;
    EXPECT_LT(cbSecond, data.size());
}

TEST_F(LanPortTest, ResetGoesThroughTheStatusChannel) {
    StartPrinter();
    OpenPort();
    ASSERT_TRUE(pfnResetPort(m_hSdk));
    sim::SimEvent reset;
    ASSERT_TRUE(m_pPrinter->WaitForEvent("reset", 2000, &reset));
    EXPECT_EQ(reset.Str("source"), "OPT_RESET");
}

TEST_F(LanPortTest, RefusedConnectionsFailTheWrite) {
    sim::Faults refuse;
    refuse.bRefuse = true;
    StartPrinter(refuse);
    OpenPort();  // reachable by ICMP: opening connects nothing
    BYTE byte = 'x';
    DWORD cb = 0;
    EXPECT_FALSE(pfnWritePortEx(m_hSdk, &byte, 1, &cb, 3000));
    EXPECT_EQ(GetLastError(), WSAECONNREFUSED);
    EXPECT_EQ(cb, 0u);
}

// A printer whose connection queue is full drops the connect's SYN: the connect would wait
// its 5 s step. A cancelled run (its abort event) does not wait for it.
TEST_F(LanPortTest, RunAbortEndsAConnectThatGetsNoAnswer) {
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    ASSERT_EQ(::inet_pton(AF_INET, m_szAddress.c_str(), &addr.sin_addr), 1);
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener.Get(), 0), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(listener.Get(), reinterpret_cast<sockaddr*>(&addr), &len), 0);
    // One connection nobody accepts fills the queue of a backlog of 0.
    UniqueFd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(filler.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string port = std::to_string(ntohs(addr.sin_port));
    ::setenv("KELVO_LAN_PORTS", (port + "," + port).c_str(), 1);
    OpenPort();
    PortAbortEvent().Set();
    BYTE byte = 'x';
    DWORD cb = 0;
    EXPECT_FALSE(pfnWritePortEx(m_hSdk, &byte, 1, &cb, 10000));
    PortAbortEvent().Reset();
    EXPECT_EQ(cb, 0u);
    // Both channels' connects were woken, none waited out its step.
    const std::string log = LogText();
    EXPECT_NE(log.find("OpenSocket WSAWaitForMultipleEvents() [9100,UNKNOWN:00000003]"), std::string::npos) << log;
    EXPECT_EQ(log.find("TIMEOUT:"), std::string::npos) << log;
}

TEST_F(LanPortTest, NameThatIsNotAnAddressReachesNothing) {
    HSDK h = 0;
    ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_LAN, "printer.local", &h));  // opening connects nothing
    BYTE byte = 'x';
    DWORD cb = 0;
    EXPECT_FALSE(pfnWritePortEx(h, &byte, 1, &cb, 1000));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    pfnClosePort(h, 0);
    EXPECT_NE(LogText().find("SetSockAddr Init() not an IPv4 address"), std::string::npos);
}

TEST_F(LanPortTest, UnreachablePrinterIsOfflineAndComesOnlineWhenItAnswers) {
    TestNetns ns("lan");
    if (!ns.Ok()) GTEST_SKIP() << "needs root to make a network namespace";
    ASSERT_TRUE(ns.RunInside([&] {
        HSDK h = 0;
        ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_LAN, "10.99.0.1", &h));
        BYTE buf[16];
        DWORD cb = 0;
        // Nothing routes there inside the namespace: the probe fails at once.
        EXPECT_FALSE(pfnReadPort(h, buf, sizeof buf, &cb));
        EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
        EXPECT_TRUE(ns.Ip("addr add 10.99.0.1/24 dev lo"));
        // Probes are spaced 500 ms apart; the port comes online at the next one. A read
        // fails only while the printer is unreachable.
        bool bOnline = false;
        for (Deadline d(5000); !bOnline && !d.Expired();) {
            bOnline = pfnReadPort(h, buf, sizeof buf, &cb) != FALSE;  // nothing listens: reachability decides
        }
        EXPECT_TRUE(bOnline);
        pfnClosePort(h, 0);
    }));
    EXPECT_NE(LogText().find("[10.99.0.1] [ONLINE]"), std::string::npos);
}

TEST_F(LanPortTest, ConnectionResetMidSendFailsTheWrite) {
    sim::Faults drop;
    drop.cbDropAfter = 100000;  // the printer drops the link inside a data transfer
    StartPrinter(drop);
    OpenPort();
    // A Kanji font download: 11 40, AA 55 00 FF four times, 4B 4B, then the data.
    std::vector<BYTE> data(20 + 1000000, 0x5A);
    data[0] = 0x11;
    data[1] = 0x40;
    for (int i = 0; i < 4; ++i) {
        data[2 + 4 * i] = 0xAA;
        data[3 + 4 * i] = 0x55;
        data[4 + 4 * i] = 0x00;
        data[5 + 4 * i] = 0xFF;
    }
    data[18] = 0x4B;
    data[19] = 0x4B;
    DWORD cbWritten = 0;
    EXPECT_FALSE(pfnWritePortEx(m_hSdk, data.data(), static_cast<DWORD>(data.size()), &cbWritten, 20000));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
    EXPECT_LT(cbWritten, data.size());
    EXPECT_TRUE(m_pPrinter->WaitForEvent("drop", 1000));
    EXPECT_NE(LogText().find("ThreadSendTcp CloseSocket(9100)"), std::string::npos);
}

}  // namespace
