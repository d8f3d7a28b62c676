// The serial driver on a pty published as dev/<name> in a temporary system root: line
// settings from the default configuration, exclusive open, writes and reads, the modem
// line rules with scripted line states, resets, and a line that vanishes.
#include <sys/file.h>
#include <termios.h>

#include <atomic>
#include <thread>
#include <vector>

#include "port/PortFixture.h"
#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/Com.h"
#include "port/ComRate.h"
#include "port/Globals.h"
#include "support/BackgroundCall.h"
#include "support/SerialTree.h"

namespace {

class ComPort : public PortFixture {
protected:
    void SetUp() override {
        PortFixture::SetUp();
        ResetDefaultCommConfigsForTest();
        RegisterPortKind(PORT_KIND_COM, MakeComPort);
    }
    void TearDown() override {
        ResetDefaultCommConfigsForTest();
        PortFixture::TearDown();
    }
    int CountLines(char chLevel, const std::string& text) const {
        int n = 0;
        for (int i = FindLine(chLevel, text); i >= 0; i = FindLine(chLevel, text, i + 1)) ++n;
        return n;
    }
    std::string Root() const { return m_root.Path(); }
};

// A pty published as name and driven as a physical line: the test scripts its modem
// lines, output queue and error counters.
struct ScriptedLine {
    ScriptedLine(const std::string& root, const std::string& name) : pty(root, name), port(name.c_str(), &lines) {}
    PublishedPty pty;
    ScriptedLines lines;
    CCom port;
};

// A direct write as the service makes it: the previous sending thread collected first.
BOOL WriteText(CCom& port, const std::string& text, DWORD dwTimeout, DWORD* pcbWritten) {
    DWORD dwWait = 5000;
    port.WaitForLastTrdSending(&dwWait, FALSE);
    *pcbWritten = 0;
    return port.Write(reinterpret_cast<const BYTE*>(text.data()), static_cast<DWORD>(text.size()), pcbWritten,
                      dwTimeout);
}

TEST(ComConfigText, SuffixRules) {
    const struct {
        const char* pszIn;
        const char* pszUsed;
        ComConfigFix fix;
        bool bXon;
    } cases[] = {
        {"9600,n,8,1", "9600,n,8,1,p", ComConfigFix::Kept, false},
        {"9600,n,8,2", "9600,n,8,2,p", ComConfigFix::Kept, false},
        {"9600,n,5,1.5", "9600,n,5,1.5,p", ComConfigFix::Kept, false},
        {"9600,n,8,1,", "9600,n,8,1,p", ComConfigFix::Kept, false},
        {"9600,n,8,1, ", "9600,n,8,1,p", ComConfigFix::Kept, false},
        {"9600,n,8,1 ", "9600,n,8,1,p", ComConfigFix::Complained, false},
        {"19200,e,7,1,p", "19200,e,7,1,p", ComConfigFix::Kept, false},
        {"19200,e,7,1,x", "19200,e,7,1,x", ComConfigFix::Kept, true},
        {"9600,n,8,1,q", "115200,n,8,1,p", ComConfigFix::Fallback, false},
        {"", "115200,n,8,1,p", ComConfigFix::Fallback, false},
        {"123456789012345678901234567890123", "123456789012345678901234567890123", ComConfigFix::TooLong, false},
    };
    for (const auto& c : cases) {
        std::string used;
        bool bXon = true;
        EXPECT_EQ(CompleteComConfig(c.pszIn, &used, &bXon), c.fix) << c.pszIn;
        EXPECT_EQ(used, c.pszUsed) << c.pszIn;
        EXPECT_EQ(bXon, c.bXon) << c.pszIn;
    }
}

TEST(ComConfigText, GarbageThatEndsWellDoesNotParse) {
    DCB dcb;
    EXPECT_FALSE(ComConfigDcb("abc,n,8,1,p", &dcb));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    termios tio{};
    ASSERT_TRUE(ComConfigDcb("12345,n,8,1,p", &dcb));
    EXPECT_FALSE(DcbToTermios(dcb, &tio));
}

struct TermiosCase {
    const char* pszDefault;  // nullptr: the table's own default
    const char* pszUsed;
    speed_t speed;
    tcflag_t size;
    tcflag_t parity;  // PARENB | PARODD | CMSPAR bits
    bool bTwoStop;
    bool bRtsCts;
    bool bXon;
};
const TermiosCase kTermiosCases[] = {
    {nullptr, "9600,n,8,1,p", B9600, CS8, 0, false, true, false},
    {"115200,n,8,1,p", "115200,n,8,1,p", B115200, CS8, 0, false, true, false},
    {"19200,e,7,2", "19200,e,7,2,p", B19200, CS7, PARENB, true, true, false},
    {"38400,o,8,1,x", "38400,o,8,1,x", B38400, CS8, PARENB | PARODD, false, false, true},
    {"4800,m,6,1", "4800,m,6,1,p", B4800, CS6, PARENB | PARODD | CMSPAR, false, true, false},
    {"1200,s,5,1.5", "1200,s,5,1.5,p", B1200, CS5, PARENB | CMSPAR, true, true, false},
};

TEST(ComConfigText, TermiosOfTheUsedString) {
    for (const auto& c : kTermiosCases) {
        DCB dcb;
        ASSERT_TRUE(ComConfigDcb(c.pszUsed, &dcb)) << c.pszUsed;
        termios tio{};
        ASSERT_TRUE(DcbToTermios(dcb, &tio)) << c.pszUsed;
        EXPECT_EQ(cfgetospeed(&tio), c.speed) << c.pszUsed;
        EXPECT_EQ(cfgetispeed(&tio), c.speed) << c.pszUsed;
        EXPECT_EQ(tio.c_cflag & CSIZE, c.size) << c.pszUsed;
        EXPECT_EQ(tio.c_cflag & (PARENB | PARODD | CMSPAR), c.parity) << c.pszUsed;
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.bTwoStop) << c.pszUsed;
        EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.bRtsCts) << c.pszUsed;
        EXPECT_EQ((tio.c_iflag & IXON) != 0, c.bXon) << c.pszUsed;
        EXPECT_EQ(tio.c_iflag & IXOFF, 0u) << c.pszUsed;
        EXPECT_NE(tio.c_cflag & CLOCAL, 0u) << c.pszUsed;
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u) << c.pszUsed;
    }
}

// The port's default configuration reaches the line. A pty keeps 8 data bits without
// parity whatever it is told, so the rest is checked where it sticks.
TEST_F(ComPort, DefaultConfigurationIsAppliedWithTermios) {
    int nPort = 0;
    for (const auto& c : kTermiosCases) {
        const std::string name = "ttyS" + std::to_string(nPort++);
        PublishedPty pty(Root(), name);
        ASSERT_TRUE(pty.Valid());
        if (c.pszDefault != nullptr) {
            COMMCONFIG cc;
            ASSERT_TRUE(BuildCommDCB(c.pszDefault, &cc.dcb));
            ASSERT_TRUE(SetDefaultCommConfig(name.c_str(), &cc));
        }
        CCom port(name.c_str());
        ASSERT_TRUE(port.Init());
        ASSERT_TRUE(port.Open()) << GetLastError();
        const termios tio = pty.SlaveTermios();
        EXPECT_EQ(cfgetospeed(&tio), c.speed) << name;
        EXPECT_EQ((tio.c_cflag & CSTOPB) != 0, c.bTwoStop) << name;
        EXPECT_EQ((tio.c_cflag & CRTSCTS) != 0, c.bRtsCts) << name;
        EXPECT_EQ((tio.c_iflag & IXON) != 0, c.bXon) << name;
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u) << name;
        EXPECT_EQ(port.HasStatus(PM_STATUS_COM_XONXOFF), c.bXon) << name;
        EXPECT_LOG('I', "[" + name + "] SetComConfig SetCommState(" + c.pszUsed + ") ");
        port.Close(FALSE);
    }
}

// A rate outside the termios table (14400, offered by the settings dialog) is set through
// termios2, and the line is raw whatever it was before the open.
TEST_F(ComPort, ARateOutsideTheTableIsSetAndTheLineIsRawAtEveryOpen) {
    PublishedPty pty(Root(), "ttyS7");
    ASSERT_TRUE(pty.Valid());
    {
        // Left cooked by another program.
        UniqueFd slave(::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios tio{};
        ASSERT_EQ(::tcgetattr(slave.Get(), &tio), 0);
        tio.c_lflag |= ICANON | ECHO | ISIG;
        tio.c_oflag |= OPOST | ONLCR;
        tio.c_iflag |= ICRNL;
        ASSERT_EQ(::tcsetattr(slave.Get(), TCSANOW, &tio), 0);
    }
    COMMCONFIG cc;
    ASSERT_TRUE(BuildCommDCB("14400,n,8,1", &cc.dcb));
    ASSERT_TRUE(SetDefaultCommConfig("ttyS7", &cc));
    CCom port("ttyS7");
    ASSERT_TRUE(port.Open()) << GetLastError();
    const termios tio = pty.SlaveTermios();
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & ICRNL, 0u);
    unsigned dwRate = 0;
    ASSERT_EQ(GetLineRate(pty.master.Get(), &dwRate), 0);
    EXPECT_EQ(dwRate, 14400u);
    EXPECT_LOG('I', "[ttyS7] SetComConfig SetCommState(14400,n,8,1,p) ");
    DWORD cbWritten = 0;
    EXPECT_TRUE(WriteText(port, "a\nb\r", 3000, &cbWritten));
    EXPECT_EQ(pty.Drain(), "a\nb\r");
}

// Settings that cannot be applied fail the open: nothing is sent on a line that is not
// what the run asked for.
TEST_F(ComPort, SettingsThatCannotBeAppliedFailTheOpen) {
    PublishedPty pty(Root(), "ttyS8");
    ASSERT_TRUE(pty.Valid());
    COMMCONFIG cc;
    ASSERT_TRUE(BuildCommDCB("20000000,n,8,1", &cc.dcb));  // beyond any UART
    ASSERT_TRUE(SetDefaultCommConfig("ttyS8", &cc));
    CCom port("ttyS8");
    EXPECT_FALSE(port.Open());
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(port.HasStatus(PM_STATUS_CLOSED));
    EXPECT_LOG('E', "[ttyS8] SetComConfig SetCommState(");
}

// A changed default is applied at the next check, at most every 3000 ms, or at a reopen.
TEST_F(ComPort, ChangedDefaultIsAppliedAtReopen) {
    PublishedPty pty(Root(), "ttyUSB3");
    ASSERT_TRUE(pty.Valid());
    CCom port("ttyUSB3:");
    EXPECT_EQ(port.pszBaseName, "ttyUSB3");
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(cfgetospeed(&static_cast<const termios&>(pty.SlaveTermios())), B9600);
    COMMCONFIG cc = SafeComConfig();
    ASSERT_TRUE(SetDefaultCommConfig("ttyUSB3", &cc));
    port.Close(FALSE);
    ASSERT_TRUE(port.Open());
    EXPECT_EQ(cfgetospeed(&static_cast<const termios&>(pty.SlaveTermios())), B115200);
}

TEST_F(ComPort, PtyIsAVirtualPortThatWritesAndReads) {
    PublishedPty pty(Root(), "ttyACM0");
    ASSERT_TRUE(pty.Valid());
    CCom port("ttyACM0");
    ASSERT_TRUE(port.Open());
    EXPECT_TRUE(port.IsVirtual());
    EXPECT_LOG('I', "[ttyACM0] CCom [Detected virtual port]");
    EXPECT_LOG('I', "[ttyACM0] Open CreateFile(" + Root() + "/dev/ttyACM0)");

    std::vector<BYTE> data(50000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7 + 3);
    std::string received;
    std::atomic<bool> bStop{false};
    std::thread printer([&] {
        while (!bStop && received.size() < data.size()) {
            received += pty.Drain();
            Sleep(2);
        }
    });
    DWORD cbWritten = 0;
    EXPECT_TRUE(port.Write(data.data(), static_cast<DWORD>(data.size()), &cbWritten, 20000));
    EXPECT_EQ(cbWritten, data.size());
    printer.join();
    EXPECT_EQ(received, std::string(data.begin(), data.end()));

    pty.Send("\x1d" "answer");
    BYTE buf[64];
    DWORD cbRead = 0;
    std::string answer;
    for (int i = 0; i < 20 && answer.size() < 7; ++i) {
        ASSERT_TRUE(port.Read(buf, sizeof buf, &cbRead, 0));
        answer.append(reinterpret_cast<char*>(buf), cbRead);
    }
    EXPECT_EQ(answer, "\x1d" "answer");
}

// Two programs never write into one printer: a line held by another opener (the lock or
// the exclusive mode) does not open, and says why.
TEST_F(ComPort, HeldLineDoesNotOpen) {
    PublishedPty pty(Root(), "ttyS4");
    ASSERT_TRUE(pty.Valid());
    CCom first("ttyS4");
    ASSERT_TRUE(first.Open());
    CCom second("ttyS4");
    EXPECT_FALSE(second.Open());
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(second.HasStatus(PM_STATUS_OFFLINE));
    EXPECT_EQ(second.DeviceFd(), -1);
    EXPECT_LOG('E', "[ttyS4] Open [the port is in use by another program: " + Root() + "/dev/ttyS4]");
    first.Close(FALSE);

    // Another program's flock alone is enough.
    UniqueFd other(::open(pty.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_EQ(::flock(other.Get(), LOCK_EX | LOCK_NB), 0);
    CCom third("ttyS4");
    EXPECT_FALSE(third.Open());
    EXPECT_EQ(pty.Drain(), "");
    other.Reset();
    EXPECT_TRUE(third.Open());
}

TEST_F(ComPort, DsrTellsWhetherThePrinterIsThere) {
    ScriptedLine line(Root(), "ttyS1");
    ASSERT_TRUE(line.pty.Valid());
    ASSERT_TRUE(line.port.Open());
    EXPECT_FALSE(line.port.IsVirtual());
    EXPECT_NE(line.lines.nRaised & TIOCM_DTR, 0);
    EXPECT_FALSE(line.port.HasStatus(PM_STATUS_OFFLINE));

    line.lines.bits = TIOCM_CTS;  // DSR low: switched off
    EXPECT_FALSE(line.port.IsConnect());
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(line.port.Open());
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(line.port.HasStatus(PM_STATUS_OFFLINE));
    EXPECT_EQ(CountLines('W', "[ttyS1] [OFFLINE]"), 1);

    line.lines.bits = TIOCM_CTS | TIOCM_DSR;
    EXPECT_TRUE(line.port.Open());
    EXPECT_FALSE(line.port.HasStatus(PM_STATUS_OFFLINE));
    EXPECT_LOG('I', "[ttyS1] [ONLINE]");

    // Where DSR means nothing, or with XON/XOFF flow, a low DSR is not an absence.
    line.lines.bits = TIOCM_CTS;
    line.port.SetStatusBits(PM_STATUS_UNSUPPORT_COM_DSR);
    EXPECT_TRUE(line.port.IsConnect());
    line.port.ClearStatusBits(PM_STATUS_UNSUPPORT_COM_DSR);
    line.port.SetStatusBits(PM_STATUS_COM_XONXOFF);
    EXPECT_TRUE(line.port.IsConnect());
}

// The printer is switched off during a transfer: the thread ends with
// ERROR_DEVICE_NOT_CONNECTED, and nothing reached the far end that was not counted (the
// cancel that follows drops what still waited in the line's buffers).
TEST_F(ComPort, DsrDropEndsTheTransferWithNothingUncounted) {
    ScriptedLine line(Root(), "ttyS2");
    ASSERT_TRUE(line.pty.Valid());
    ASSERT_TRUE(line.port.Open());
    const std::vector<BYTE> data(400000, 0x55);
    DWORD cbWritten = 0;
    BackgroundCall write(
        [&] { return line.port.Write(data.data(), static_cast<DWORD>(data.size()), &cbWritten, 30000); });
    // Nobody reads: the pty fills and the thread waits inside a chunk.
    for (int i = 0; i < 500 && line.lines.nModemReads < 20; ++i) Sleep(10);
    line.lines.bits = TIOCM_CTS;
    write.Join();
    EXPECT_FALSE(write.bResult);
    EXPECT_EQ(write.dwError, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(cbWritten, data.size());
    EXPECT_LE(line.pty.Drain().size(), cbWritten);
    EXPECT_LOG('W', "[ttyS2] ThreadSendCom() [OFFLINE]");
    EXPECT_LOG('W', "[ttyS2] ThreadSendCom Cancel()");
}

// CTS low holds the line; nothing is written until it rises.
TEST_F(ComPort, CtsLowHoldsTheLine) {
    ScriptedLine line(Root(), "ttyS3");
    ASSERT_TRUE(line.pty.Valid());
    line.lines.bits = TIOCM_DSR;
    ASSERT_TRUE(line.port.Open());
    const std::string text = "held until CTS";
    DWORD cbWritten = 0;
    EXPECT_TRUE(WriteText(line.port, text, 200, &cbWritten));
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    EXPECT_EQ(cbWritten, 0u);
    EXPECT_EQ(line.pty.Drain(), "");
    EXPECT_LOG('D', "[ttyS3] ThreadSendCom [cts pin is mark]");
    line.lines.bits = TIOCM_DSR | TIOCM_CTS;
    EXPECT_TRUE(WriteText(line.port, text, 5000, &cbWritten));
    EXPECT_EQ(cbWritten, text.size());
    EXPECT_EQ(line.pty.Drain(), text);
}

// The output queue is kept at most 1024 bytes deep; a deeper one is an overrun.
TEST_F(ComPort, OutputQueueLimitsWhatIsTaken) {
    ScriptedLine line(Root(), "ttyS5");
    ASSERT_TRUE(line.pty.Valid());
    line.lines.nQueued = 1024;
    ASSERT_TRUE(line.port.Open());
    const std::string text(100, 'q');
    DWORD cbWritten = 0;
    EXPECT_TRUE(WriteText(line.port, text, 150, &cbWritten));
    EXPECT_EQ(cbWritten, 0u);
    EXPECT_EQ(line.pty.Drain(), "");
    line.lines.nQueued = 1000;
    EXPECT_TRUE(WriteText(line.port, text, 3000, &cbWritten));
    EXPECT_EQ(cbWritten, 100u);
    EXPECT_EQ(line.pty.Drain(), text);
    EXPECT_TRUE(LogContains("[ttyS5] ThreadSendCom WriteFile(24byte)"));
    EXPECT_FALSE(LogContains("[ttyS5] ThreadSendCom WriteFile(100byte)"));
    // Deeper than the limit: waited out within the writer's time, never a fault.
    line.lines.nQueued = 1500;
    EXPECT_TRUE(WriteText(line.port, text, 300, &cbWritten));
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    EXPECT_EQ(cbWritten, 0u);
    EXPECT_EQ(line.pty.Drain(), "");
    EXPECT_EQ(CountLines('W', "[ttyS5] ThreadSendCom [OVERRUN;1024<1500byte]"), 1);
    line.lines.nQueued = 0;
    EXPECT_TRUE(WriteText(line.port, text, 3000, &cbWritten));
    EXPECT_EQ(cbWritten, 100u);
    EXPECT_EQ(line.pty.Drain(), text);
}

// A ttyACM printer: cdc-acm reports a whole buffer per transfer in flight (10240 bytes
// after a write of 100). Each block waits until the printer has taken the one before,
// and the transfer ends whole.
TEST_F(ComPort, CdcAcmOverCountedQueueIsWaitedOutNotAFault) {
    ScriptedLine line(Root(), "ttyACM0");
    ASSERT_TRUE(line.pty.Valid());
    line.lines.nAcmMaster = line.pty.master.Get();
    ASSERT_TRUE(line.port.Open());
    std::string text(10000, '\0');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 23);
    std::string got;
    std::thread printer([&] {
        // The device side starts late (the first block stays in flight a while), then
        // takes 256 bytes every 5 ms.
        char buf[256];
        int nUnread = 0;
        for (Deadline first(5000); nUnread == 0 && !first.Expired(); Sleep(2)) {
            ::ioctl(line.pty.master.Get(), FIONREAD, &nUnread);
        }
        Sleep(50);
        for (Deadline limit(10000); got.size() < text.size() && !limit.Expired(); Sleep(5)) {
            const ssize_t n = ::read(line.pty.master.Get(), buf, sizeof buf);
            if (n > 0) got.append(buf, static_cast<std::size_t>(n));
        }
    });
    DWORD cbWritten = 0;
    EXPECT_TRUE(WriteText(line.port, text, 8000, &cbWritten)) << GetLastError();
    printer.join();
    EXPECT_EQ(cbWritten, text.size());
    EXPECT_EQ(got, text);
    EXPECT_LOG('W', "[ttyACM0] ThreadSendCom [OVERRUN;1024<10240byte]");
}

TEST_F(ComPort, LineErrorsDiscardWhatWasRead) {
    ScriptedLine line(Root(), "ttyS6");
    ASSERT_TRUE(line.pty.Valid());
    ASSERT_TRUE(line.port.Open());
    BYTE buf[32];
    DWORD cbRead = 0;
    line.pty.Send("ok");
    ASSERT_TRUE(line.port.Read(buf, sizeof buf, &cbRead, 0));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), cbRead), "ok");
    line.pty.Send("noise");
    line.lines.nFrame = 1;
    ASSERT_TRUE(line.port.Read(buf, sizeof buf, &cbRead, 0));
    EXPECT_EQ(cbRead, 0u);
    EXPECT_LOG('W', "[ttyS6] ClearCommError() [ERR:00000008]");
}

TEST_F(ComPort, BreakResetsAPhysicalPort) {
    ScriptedLine line(Root(), "ttyS7");
    ASSERT_TRUE(line.pty.Valid());
    ASSERT_TRUE(line.port.Open());
    EXPECT_TRUE(line.port.Reset());
    EXPECT_EQ(line.lines.nBreakOn, 1);
    EXPECT_EQ(line.lines.nBreakOff, 1);
    EXPECT_LOG('I', "[ttyS7] Reset DevIo(IOCTL_SERIAL_SET_BREAK_OFF)");
    EXPECT_EQ(line.pty.Drain(), "");
}

// An adapter unplugged in the middle of a transfer: the write ends with
// ERROR_DEVICE_NOT_CONNECTED, counting no more than the line took.
TEST_F(ComPort, VanishedLineFailsTheWrite) {
    auto pty = std::make_unique<PublishedPty>(Root(), "ttyUSB1");
    ASSERT_TRUE(pty->Valid());
    CCom port("ttyUSB1");
    ASSERT_TRUE(port.Open());
    const std::vector<BYTE> data(300000, 0x41);
    DWORD cbWritten = 0;
    BackgroundCall write([&] { return port.Write(data.data(), static_cast<DWORD>(data.size()), &cbWritten, 30000); });
    // Nobody reads: once the thread sends, the pty's buffer fills under it.
    ASSERT_GE(WaitForLine('D', "[ttyUSB1] ThreadSendCom send() [", 5000), 0);
    pty->Vanish();
    write.Join();
    EXPECT_FALSE(write.bResult);
    EXPECT_EQ(write.dwError, ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(cbWritten, data.size());
}

TEST_F(ComPort, VanishedLineFailsTheReadAndDoesNotReopen) {
    auto pty = std::make_unique<PublishedPty>(Root(), "ttyUSB0");
    ASSERT_TRUE(pty->Valid());
    CCom port("ttyUSB0");
    ASSERT_TRUE(port.Open());
    pty->Vanish();
    BYTE buf[16];
    DWORD cbRead = 0;
    EXPECT_FALSE(port.Read(buf, sizeof buf, &cbRead, 0));
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LOG('W', "[ttyUSB0] Read Close()");
    port.Close(FALSE);
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(port.HasStatus(PM_STATUS_CLOSED));
}

// The real-time reset command on a virtual port, through the port service: the command
// leaves whole, writes are refused with ERROR_BUSY while the printer restarts, and the
// port opens again afterwards.
TEST_F(ComPort, RealTimeResetKeepsAVirtualPortClosed) {
    PublishedPty pty(Root(), "ttyACM1");
    ASSERT_TRUE(pty.Valid());
    HSDK h = 0;
    ASSERT_TRUE(pfnOpenPort(0, PORT_KIND_COM, "ttyACM1", &h));
    const std::string text = "before";
    DWORD cb = 0;
    ASSERT_TRUE(pfnWritePortEx(h, reinterpret_cast<const BYTE*>(text.data()), 6, &cb, 2000));
    EXPECT_EQ(pty.Drain(), text);
    ASSERT_TRUE(pfnResetPort(h));
    EXPECT_EQ(pty.Drain(), std::string(reinterpret_cast<const char*>(REAL_RESET_CMD), sizeof REAL_RESET_CMD));
    cb = 0;
    EXPECT_FALSE(pfnWritePortEx(h, reinterpret_cast<const BYTE*>(text.data()), 6, &cb, 2000));
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    EXPECT_EQ(cb, 0u);
    EXPECT_LOG('I', "[ttyACM1] Enter interval ThreadSendCom [Real-cmd-reset]");
    const int nEnter = FindLine('I', "[ttyACM1] Enter interval ThreadSendCom [Real-cmd-reset]");
    EXPECT_GT(WaitForLine('I', "[ttyACM1] Escape interval ThreadSendCom [Real-cmd-reset]", 10000), nEnter);
    cb = 0;
    EXPECT_TRUE(pfnWritePortEx(h, reinterpret_cast<const BYTE*>(text.data()), 6, &cb, 2000));
    EXPECT_EQ(cb, 6u);
    EXPECT_EQ(pty.Drain(), text);
    EXPECT_TRUE(pfnClosePort(h, 0));
}

TEST_F(ComPort, VirtualPortWithoutRealResetDoesNothing) {
    PublishedPty pty(Root(), "ttyACM2");
    ASSERT_TRUE(pty.Valid());
    HSDK h = 0;
    ASSERT_TRUE(pfnOpenPort(OPT_NOT_SUPPORT_REAL_RESET_CMD, PORT_KIND_COM, "ttyACM2", &h));
    const std::string text = "x";
    DWORD cb = 0;
    ASSERT_TRUE(pfnWritePortEx(h, reinterpret_cast<const BYTE*>(text.data()), 1, &cb, 2000));
    EXPECT_EQ(pty.Drain(), text);
    EXPECT_TRUE(pfnResetPort(h));
    EXPECT_LOG('I', "[ttyACM2] Reset [NO ACTION,status:");
    EXPECT_EQ(pty.Drain(), "");
    EXPECT_TRUE(pfnClosePort(h, 0));
}

TEST_F(ComPort, KindComesFromTheSystemOrTheSettingsFile) {
    PublishTtySysfs(Root(), "ttyACM5", TtyKind::UsbAcm, MAKER_USB_VENDOR_ID);
    PublishTtySysfs(Root(), "ttyACM6", TtyKind::UsbAcm, 0x1234);
    PublishTtySysfs(Root(), "ttyS9", TtyKind::Uart);
    {
        CCom maker("ttyACM5"), other("ttyACM6"), uart("ttyS9");
        EXPECT_TRUE(maker.HasStatus(PM_STATUS_MAKER_USB_VCP));
        EXPECT_TRUE(maker.IsVirtual());
        EXPECT_FALSE(other.HasStatus(PM_STATUS_MAKER_USB_VCP));
        EXPECT_TRUE(other.IsVirtual());
        EXPECT_FALSE(uart.IsVirtual());
        EXPECT_LOG('I', "[ttyACM5] CCom [Detected ZAQ USB virtual port]");
        EXPECT_LOG('I', "[ttyACM6] CCom [Detected virtual port]");
        EXPECT_LOG('I', "[ttyS9] CCom [Detected physical serial port]");
        EXPECT_LOG('E', "[ttyS9] CCom RegQueryValueEx()");
    }
    std::filesystem::create_directories(Root() + "/etc/ZAQ");
    WriteWholeFile(Root() + "/etc/ZAQ/ThermalPrinterSdk.ini", "[ThermalPrinterSdk]\nComPortType=2\n");
    CCom forced("ttyS9");
    EXPECT_TRUE(forced.IsVirtual());
    EXPECT_LOG('I', "[ttyS9] CCom RegQueryValueEx() [ComPortType:2].");
}

}  // namespace
