// The legacy layer's device path and serial read timing (on a pty), CUnknown, and the
// string helpers.
#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "PortFixture.h"
#include "platform/LastError.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"
#include "port/Globals.h"
#include "port/Unknown.h"

namespace {

class CLegacyProbe : public CLegacy {
public:
    void Close(BOOL) override {}
};

class Legacy : public PortFixture {};

TEST_F(Legacy, DeviceNameIsTheNodeUnderTheSystemRoot) {
    const struct {
        const char* pszName;
        DWORD dwStatus;
    } cases[] = {{"ttyS0", 0}, {"ttyUSB1", PM_STATUS_COM_DIS_DOSDEVNAME}};
    for (const auto& c : cases) {
        CLegacyProbe port;
        port.SetStatusBits(c.dwStatus);
        ASSERT_TRUE(port.MakeDeviceName(c.pszName));
        EXPECT_EQ(port.pszDevicePath, m_root.Path() + "/dev/" + c.pszName);
        EXPECT_FALSE(port.bTempDosName);
        // A path already set is kept.
        EXPECT_TRUE(port.MakeDeviceName("other"));
        EXPECT_EQ(port.pszDevicePath, m_root.Path() + "/dev/" + c.pszName);
        port.DeleteDeviceName();
        EXPECT_TRUE(port.pszDevicePath.empty());
    }
}

TEST_F(Legacy, DeviceNameRefusesWhatIsNotANodeName) {
    const std::string tooLong(300, 'a');
    const struct {
        const char* pszName;
        DWORD dwError;
    } cases[] = {{"", ERROR_INVALID_NAME},
                 {"..", ERROR_INVALID_NAME},
                 {"../etc/passwd", ERROR_INVALID_NAME},
                 {"usb/lp0", ERROR_INVALID_NAME},
                 {nullptr, ERROR_INVALID_NAME},
                 {tooLong.c_str(), ERROR_BUFFER_OVERFLOW}};
    for (const auto& c : cases) {
        CLegacyProbe port;
        EXPECT_FALSE(port.MakeDeviceName(c.pszName));
        EXPECT_EQ(GetLastError(), c.dwError);
        EXPECT_TRUE(port.pszDevicePath.empty());
    }
    EXPECT_LOG('E', "[srv_lgcy] Make new device name. [../etc/passwd]");
}

// A pty pair standing in for a serial line: the master is the far end.
struct Pty {
    UniqueFd master;
    UniqueFd slave;
    Pty() {
        master.Reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        if (!master.Valid() || grantpt(master.Get()) != 0 || unlockpt(master.Get()) != 0) return;
        slave.Reset(::open(ptsname(master.Get()), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
        termios tio{};
        tcgetattr(slave.Get(), &tio);
        cfmakeraw(&tio);
        tcsetattr(slave.Get(), TCSANOW, &tio);
    }
    void Send(const std::string& data) { ASSERT_EQ(::write(master.Get(), data.data(), data.size()), (ssize_t)data.size()); }
};

TEST_F(Legacy, ComTimeoutsAreTheSerialReadTiming) {
    Pty pty;
    ASSERT_TRUE(pty.slave.Valid());
    CLegacyProbe port;
    ASSERT_TRUE(port.SetComTimeouts(pty.slave.Get(), 0xFFFFFFFF));
    const COMMTIMEOUTS& t = port.ComTimeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, 10u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 30u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0xFFFFFF9Bu);
    ASSERT_TRUE(port.SetComTimeouts(pty.slave.Get(), 500));
    EXPECT_EQ(port.ComTimeouts().WriteTotalTimeoutConstant, 500u);

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    UniqueFd r(fds[0]), w(fds[1]);
    EXPECT_FALSE(port.SetComTimeouts(r.Get(), 7));
    EXPECT_NE(GetLastError(), ERROR_SUCCESS);
    EXPECT_LOG('E', "[srv_lgcy] Set com timeouts. [h;");
    EXPECT_LOG('E', "] [time:7]");
}

struct ReadTiming {
    const char* pszName;
    COMMTIMEOUTS timeouts;
    std::string sent;
    DWORD cbBuffer;
    std::string expected;
};

// Each read below could only end by the rule it names: without it the read would wait for
// ever (the total time is unlimited where the interval rule is tested).
TEST_F(Legacy, SerialReadEndsByItsRules) {
    const std::vector<ReadTiming> cases = {
        {"buffer full", {10, 0, 30, 0, 0}, "12345678", 8, "12345678"},
        {"buffer full, no time limit", {0, 0, 0, 0, 0}, "abcd", 4, "abcd"},
        {"total time, nothing came", {10, 0, 30, 0, 0}, "", 16, ""},
        {"total time, some came", {0, 0, 30, 0, 0}, "xy", 16, "xy"},
        {"interval after the last byte", {10, 0, 0, 0, 0}, "abc", 16, "abc"},
    };
    for (const ReadTiming& c : cases) {
        Pty pty;
        ASSERT_TRUE(pty.slave.Valid());
        if (!c.sent.empty()) pty.Send(c.sent);
        std::vector<BYTE> buf(c.cbBuffer);
        DWORD cb = 99;
        ASSERT_TRUE(ReadWithComTimeouts(pty.slave.Get(), c.timeouts, buf.data(), c.cbBuffer, &cb, {})) << c.pszName;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data()), cb), c.expected) << c.pszName;
    }
}

TEST_F(Legacy, SerialReadWakesOnTermAndSeesHangup) {
    Pty pty;
    ASSERT_TRUE(pty.slave.Valid());
    Event term(true, true);
    WaitItem wake = WaitItem::For(term);
    BYTE buf[8];
    DWORD cb = 0;
    const COMMTIMEOUTS forever{0, 0, 0, 0, 0};
    EXPECT_FALSE(ReadWithComTimeouts(pty.slave.Get(), forever, buf, sizeof buf, &cb, std::span(&wake, 1)));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    pty.master.Reset();
    EXPECT_FALSE(ReadWithComTimeouts(pty.slave.Get(), forever, buf, sizeof buf, &cb, {}));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
}

TEST_F(Legacy, UnknownPortFailsEveryUse) {
    CUnknown port("U9");
    EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_PORT);
    EXPECT_FALSE(port.bSuccessInit);
    EXPECT_EQ(std::string(port.PortName()), "U9");
    EXPECT_TRUE(port.Init());
    EXPECT_LOG('W', "[U9] Unknown port.");
    BYTE buf[4] = {};
    DWORD cb = 0;
    const std::vector<std::pair<const char*, std::function<BOOL()>>> uses = {
        {"Write", [&] { return port.Write(buf, 4, &cb, 0); }},
        {"Read", [&] { return port.Read(buf, 4, &cb, 0); }},
        {"Reset", [&] { return port.Reset(); }},
        {"DevIo", [&] { return port.DevIo(1, buf, 4, buf, 4, &cb); }},
        {"Cancel", [&] { return port.Cancel(); }},
        {"Open", [&] { return port.Open(); }},
        {"IsConnect", [&] { return port.IsConnect(); }},
    };
    for (const auto& [pszName, use] : uses) {
        SetLastError(0);
        EXPECT_FALSE(use()) << pszName;
        EXPECT_EQ(GetLastError(), ERROR_UNKNOWN_PORT) << pszName;
    }
    EXPECT_LOG('E', "[U9] Unknown port name.");
    port.Close(TRUE);
}

TEST(PortStrings, AllocAndFree) {
    EXPECT_EQ(AllocSplStr(nullptr), nullptr);
    EXPECT_EQ(AllocSplStr(""), nullptr);
    char* psz = AllocSplStr("COM3");
    ASSERT_NE(psz, nullptr);
    EXPECT_STREQ(psz, "COM3");
    FreeSplStr(psz);
    FreeSplStr(nullptr);
}

TEST(PortStrings, JoinStrings) {
    const char* parts[] = {"/dev/", "ttyS0", nullptr};
    const struct {
        DWORD cchBuffer;
        bool bBuffer;
        DWORD dwResult;
        const char* pszExpected;
    } cases[] = {{64, true, 0, "/dev/ttyS0"},
                 {11, true, 0, "/dev/ttyS0"},
                 {10, true, ERROR_BUFFER_OVERFLOW, ""},
                 {0, true, ERROR_INVALID_PARAMETER, nullptr},
                 {64, false, ERROR_INVALID_PARAMETER, nullptr}};
    for (const auto& c : cases) {
        char buf[64] = "junk";
        SetLastError(0);
        EXPECT_EQ(JoinStrings(c.bBuffer ? buf : nullptr, c.cchBuffer, parts), c.dwResult) << c.cchBuffer;
        EXPECT_EQ(GetLastError(), c.dwResult) << c.cchBuffer;
        if (c.pszExpected != nullptr) {
            EXPECT_STREQ(buf, c.pszExpected);
        }
    }
    const char* none[] = {nullptr};
    char buf[4] = "x";
    EXPECT_EQ(JoinStrings(buf, sizeof buf, none), 0u);
    EXPECT_STREQ(buf, "");
}

}  // namespace
