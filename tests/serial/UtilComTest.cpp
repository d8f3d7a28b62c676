// Serial discovery over a temporary sysfs tree whose ttys are ptys published as
// dev/<name>: the three kinds, the modem line rule (scripted), held ports, the services
// around the search, and the list lines.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "discovery/UtilCom.h"
#include "support/LogCapture.h"
#include "support/SerialTree.h"
#include "support/TempDir.h"

namespace {

class UtilCom : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_root.Path().empty());
        m_pLog = std::make_unique<LogCapture>(m_root.Path(), "UtilComTest");
        LogSetup(0x0FFF, "UtilComTest");
    }
    // A tty of a kind with its node; nPty: -1 for no node.
    PublishedPty& AddTty(const std::string& name, TtyKind kind, bool bUartPresent = true) {
        PublishTtySysfs(m_root.Path(), name, kind, MAKER_USB_VENDOR_ID, bUartPresent);
        m_ptys.push_back(std::make_unique<PublishedPty>(m_root.Path(), name));
        return *m_ptys.back();
    }
    std::vector<std::string> Search(CUtilCom& util, int* pnFound) {
        CPortLineList list;
        *pnFound = util.EnumPorts(&list, {});
        return list.Lines();
    }

    TempDir m_root;
    std::unique_ptr<LogCapture> m_pLog;
    std::vector<std::unique_ptr<PublishedPty>> m_ptys;
};

// Lines without modem lines (ptys) are listed as soon as they open, whatever their kind;
// what sysfs does not show as a serial device with hardware is not even opened.
TEST_F(UtilCom, ListsTheThreeKindsSorted) {
    AddTty("ttyUSB0", TtyKind::UsbSerial);
    AddTty("ttyACM0", TtyKind::UsbAcm);
    AddTty("ttyS0", TtyKind::Uart);
    PublishTtySysfs(m_root.Path(), "ttyS1", TtyKind::Uart, 0, false);  // registered, no hardware
    PublishTtySysfs(m_root.Path(), "tty1", TtyKind::None);             // a console
    std::vector<std::string> services;
    CUtilCom util([&](BOOL bStart) { services.push_back(bStart ? "start" : "stop"); });
    int nFound = 0;
    const auto lines = Search(util, &nFound);
    EXPECT_EQ(nFound, 3);
    EXPECT_EQ(lines, (std::vector<std::string>{"ttyACM0\t", "ttyS0\t", "ttyUSB0\t"}));
    EXPECT_EQ(services, (std::vector<std::string>{"stop", "start"}));
    EXPECT_TRUE(m_pLog->Contains("- COM port device"));
    EXPECT_TRUE(m_pLog->Contains("- Detects ttyS0 port."));
    EXPECT_FALSE(m_pLog->Contains("ttyS1"));
    EXPECT_FALSE(m_pLog->Contains("tty1"));
    // Nothing is left locked: the ports open again at once.
    for (auto& pty : m_ptys) {
        UniqueFd fd(::open(pty->nodePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
        ASSERT_TRUE(fd.Valid());
        EXPECT_EQ(::flock(fd.Get(), LOCK_EX | LOCK_NB), 0);
    }
}

// Only a line another program holds is retried for the 5000 ms: a node that is not there
// ends at once. A tty the serial core did not register (rfcomm: no "type") is no UART and
// is not opened, and a usb-serial adapter's vendor ID is read two levels above its port.
TEST_F(UtilCom, OnlyAHeldLineIsRetriedAndOnlyUartsWithATypeCount) {
    PublishTtySysfs(m_root.Path(), "ttyUSB4", TtyKind::UsbSerial, 0x1234);  // sysfs only: no node
    PublishTtySysfs(m_root.Path(), "rfcomm0", TtyKind::Uart);
    std::filesystem::remove(m_root.Path() + "/sys/class/tty/rfcomm0/type");
    m_ptys.push_back(std::make_unique<PublishedPty>(m_root.Path(), "rfcomm0"));
    EXPECT_EQ(TtyKindOf("rfcomm0"), TtyKind::None);
    EXPECT_EQ(TtyUsbVendorId("ttyUSB4"), 0x1234);
    CUtilCom util([](BOOL) {});
    int nFound = 0;
    EXPECT_TRUE(Search(util, &nFound).empty());
    EXPECT_EQ(nFound, 0);
    EXPECT_TRUE(m_pLog->Contains("- ttyUSB4 cannot be opened (errno 2)"));
    EXPECT_FALSE(m_pLog->Contains("CreateFile Timeout"));
    EXPECT_FALSE(m_pLog->Contains("rfcomm0"));
}

// With modem lines: a UART or USB-serial line needs DSR on and carrier detect off; a CDC-ACM
// line is listed whatever its lines say.
TEST_F(UtilCom, ModemLinesDecideForUartAndUsbSerial) {
    const struct {
        TtyKind kind;
        int bits;
        bool bListed;
    } cases[] = {
        {TtyKind::Uart, TIOCM_DSR, true},
        {TtyKind::Uart, TIOCM_DSR | TIOCM_CD, false},
        {TtyKind::Uart, 0, false},
        {TtyKind::UsbSerial, TIOCM_DSR | TIOCM_CTS, true},
        {TtyKind::UsbSerial, TIOCM_CD, false},
        {TtyKind::UsbAcm, 0, true},
        {TtyKind::UsbAcm, TIOCM_CD, true},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string prefix = c.kind == TtyKind::Uart ? "ttyS" : c.kind == TtyKind::UsbAcm ? "ttyACM" : "ttyUSB";
        const std::string name = prefix + std::to_string(10 + n++);
        AddTty(name, c.kind);
        ScriptedLines lines;
        lines.bits = c.bits;
        CUtilCom util({}, &lines);
        EXPECT_EQ(util.ProbePort(name, c.kind), c.bListed ? TRUE : FALSE) << name;
        EXPECT_EQ(m_pLog->Contains("- Offline. " + name + " port."), !c.bListed) << name;
    }
}

// A port another program holds is left out after 5000 ms of tries; the rest are listed.
TEST_F(UtilCom, HeldPortIsLeftOut) {
    AddTty("ttyUSB1", TtyKind::UsbSerial);
    PublishedPty& held = AddTty("ttyUSB2", TtyKind::UsbSerial);
    UniqueFd holder(::open(held.nodePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    ASSERT_EQ(::flock(holder.Get(), LOCK_EX | LOCK_NB), 0);
    bool bStartedAgain = false;
    CUtilCom util([&](BOOL bStart) { bStartedAgain = bStart != FALSE; });
    int nFound = 0;
    const auto lines = Search(util, &nFound);
    EXPECT_EQ(lines, (std::vector<std::string>{"ttyUSB1\t"}));
    EXPECT_TRUE(m_pLog->Contains("CreateFile Timeout: 5000ms"));
    EXPECT_TRUE(bStartedAgain);
}

TEST_F(UtilCom, NoTtyClassMeansNothingFound) {
    bool bStopped = false, bStarted = false;
    CUtilCom util([&](BOOL bStart) { (bStart ? bStarted : bStopped) = true; });
    int nFound = -1;
    EXPECT_TRUE(Search(util, &nFound).empty());
    EXPECT_EQ(nFound, 0);
    EXPECT_TRUE(bStopped && bStarted);
    EXPECT_TRUE(m_pLog->Contains("- COM port not found on host!!"));
}

}  // namespace
