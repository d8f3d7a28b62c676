// The simulator's Bluetooth stand-in on its own: a Unix stream socket with the printer's
// serial stream, one link at a time, gone while the printer restarts.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <vector>

#include "platform/UniqueFd.h"
#include "sim/Cli.h"
#include "sim/Sim.h"
#include "support/SimBluetooth.h"
#include "support/TempDir.h"

namespace {

UniqueFd Connect(const std::string& path) {
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path, path.c_str(), path.size());
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) fd.Reset();
    return fd;
}

std::vector<BYTE> Receive(int fd, int nTimeoutMs) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, nTimeoutMs) != 1) return {};
    BYTE buf[64];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::vector<BYTE>(buf, buf + n) : std::vector<BYTE>{};
}

TEST(StreamTransportTest, OneLinkAtATimeAndNoneWhileRestarting) {
    TempDir dir;
    auto printer = StartBluetoothPrinter({}, dir / "p.sock");
    ASSERT_TRUE(printer);
    UniqueFd first = Connect(dir / "p.sock");
    ASSERT_TRUE(first);
    ASSERT_TRUE(printer->WaitForEvent("connect", 2000));
    UniqueFd second = Connect(dir / "p.sock");
    ASSERT_TRUE(second);  // the kernel accepts; the printer hangs up at once
    EXPECT_TRUE(printer->WaitForEvent("connect", 2000, nullptr, 0,
                                      [](const sim::SimEvent& e) { return e.Str("refused") == "true"; }));
    EXPECT_TRUE(Receive(second.Get(), 2000).empty());  // closed: nothing but the end

    std::vector<BYTE> deviceId(35, 0x00);
    deviceId[32] = 0x1D;
    deviceId[33] = 0x49;
    deviceId[34] = 0x01;
    ASSERT_EQ(::send(first.Get(), deviceId.data(), deviceId.size(), MSG_NOSIGNAL), 35);
    EXPECT_EQ(Receive(first.Get(), 3000), (std::vector<BYTE>{0x0E, 0xEF, 0xF1, 0x00}));

    printer->PowerCycle();
    sim::SimEvent down;
    ASSERT_TRUE(printer->WaitForEvent("link", 2000, &down, 0,
                                      [](const sim::SimEvent& e) { return e.Str("state") == "down" && e.Str("channel") == "stream"; }));
    EXPECT_TRUE(Receive(first.Get(), 2000).empty());  // the link ended
    EXPECT_FALSE(Connect(dir / "p.sock"));            // nobody listens while it restarts
    ASSERT_TRUE(printer->WaitForEvent("link", 5000, nullptr, down.nSeq + 1,
                                      [](const sim::SimEvent& e) { return e.Str("state") == "up" && e.Str("channel") == "stream"; }));
    EXPECT_TRUE(Connect(dir / "p.sock"));
}

// RFCOMM has no half-close: a host that shuts its sending side ends the whole link, and
// the printer sends nothing after it.
TEST(StreamTransportTest, AHalfCloseEndsTheWholeLinkAsOnRfcomm) {
    TempDir dir;
    auto printer = StartBluetoothPrinter({}, dir / "p.sock");
    ASSERT_TRUE(printer);
    UniqueFd link = Connect(dir / "p.sock");
    ASSERT_TRUE(link);
    ASSERT_TRUE(printer->WaitForEvent("connect", 2000));
    ASSERT_EQ(::shutdown(link.Get(), SHUT_WR), 0);
    sim::SimEvent gone;
    ASSERT_TRUE(printer->WaitForEvent("disconnect", 3000, &gone));
    EXPECT_EQ(gone.Str("by"), "host");
    pollfd p{link.Get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 3000), 1);
    BYTE b = 0;
    EXPECT_EQ(::recv(link.Get(), &b, 1, 0), 0);  // the end, not a wait for more
}

TEST(StreamTransportTest, TheProgramTakesTheSocketPath) {
    sim::Config c;
    bool bHelp = false;
    std::string err;
    ASSERT_TRUE(sim::ParseRunArgs({"--stream-socket=/tmp/x.sock"}, &c, &bHelp, &err)) << err;
    EXPECT_EQ(c.stream.szSocketPath, "/tmp/x.sock");
}

}  // namespace
