#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "FakeCups.h"
#include "LogReader.h"
#include "platform/LastError.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"
#include "system/Printers.h"
#include "system/Service.h"
#include "system/System.h"

namespace {

TEST(PrinterUriUsesPort, MatchesQueuesByKindOfPort) {
    struct Case {
        const char* pszUri;
        const char* pszPort;
        bool bMatch;
    } cases[] = {
        // LAN: the URI's whole host, for the three raw and IPP schemes.
        {"socket://192.168.0.20", "192.168.0.20", true},
        {"socket://192.168.0.20:9100", "192.168.0.20", true},
        {"lpd://192.168.0.20/queue", "192.168.0.20", true},
        {"ipp://user@192.168.0.20:631/ipp/print", "192.168.0.20", true},
        {"IPP://192.168.0.20/", "192.168.0.20", true},
        {"socket://192.168.0.201", "192.168.0.20", false},
        {"socket://10.192.168.0.20", "192.168.0.20", false},
        {"http://192.168.0.20/", "192.168.0.20", false},
        {"ipps://192.168.0.20/", "192.168.0.20", false},
        {"serial:/dev/ttyS0", "192.168.0.20", false},
        // Serial: the device name as a prefix, without regard to case; a colon ignored.
        {"serial:/dev/ttyS1?baud=115200", "ttyS1", true},
        {"serial:/dev/ttyS10", "ttyS1", true},
        {"serial:/dev/ttyS1", "ttyS10", false},
        {"serial:/dev/ttyUSB0", "ttyusb0", true},
        {"serial:/dev/ttyS1", "ttyS1:", true},
        {"serial:/dev/ttyACM0", "ttyS0", false},
        {"socket://ttyS1", "ttyS1", false},
        {"usb://ZAQ/Printer?serial=1", "ttyS1", false},
        // USB: any of the maker's USB queues.
        {"usb://ZAQ/KV-T80?serial=A1", "USB001", true},
        {"usb://zaq/KV-T80", "usb002", true},
        {"usb://Other/Printer", "USB001", false},
        {"usb://ZAQX/Printer", "USB001", false},
        {"socket://192.168.0.20", "USB001", false},
        // Nothing matches an empty name.
        {"serial:/dev/ttyS1", "", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PrinterUriUsesPort(c.pszUri, c.pszPort), c.bMatch) << c.pszUri << " / " << c.pszPort;
}

class NoCupsTest : public LoggedTest {
protected:
    ClosedCups m_server;
};

TEST_F(NoCupsTest, QueriesDegradeToFalseWhenNoServerAnswers) {
    std::vector<std::string> uris{"left over"};
    EXPECT_EQ(EnumPrinterDeviceUris(&uris, 2000), FALSE);
    EXPECT_EQ(GetLastError(), RPC_S_SERVER_UNAVAILABLE);
    EXPECT_TRUE(uris.empty());
    EXPECT_EQ(CupsServerAnswers(2000), FALSE);
    EXPECT_EQ(IsPrinterOnPort("ttyS0"), FALSE);
    EXPECT_NE(LogText().find("[W] [1722 : "), std::string::npos) << LogText();
    EXPECT_NE(LogText().find("] : [comm] IsPrinterOnPort CUPS [127.0.0.1]"), std::string::npos) << LogText();
}

TEST_F(NoCupsTest, StoppingForAPortNoQueueUsesLeavesTheSpoolerAlone) {
    // No bus either: a stop that reached the service control would fail.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (m_root / "no-bus")).c_str(), 1);
    SetLastError(ERROR_GEN_FAILURE);
    EXPECT_EQ(SpoolerControl(FALSE, "ttyS0"), TRUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(LogText().find("SeviceControl"), std::string::npos) << LogText();
    // Without a port name the stop is attempted.
    EXPECT_EQ(SpoolerControl(FALSE, nullptr), FALSE);
    EXPECT_NE(LogText().find("] : [comm] SeviceControl OpenSCManager()"), std::string::npos) << LogText();
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
}

TEST(SilentCups, QueryGivesUpWithinItsTime) {
    ClosedCups silent(true);
    std::vector<std::string> uris;
    EXPECT_EQ(EnumPrinterDeviceUris(&uris, 300), FALSE);
    EXPECT_EQ(GetLastError(), RPC_S_SERVER_UNAVAILABLE);
}

class CupsTest : public LoggedTest {};

TEST_F(CupsTest, PortsAreFoundAmongTheServersQueues) {
    FakeCups cups({"socket://192.168.0.20:9100", "serial:/dev/ttyS10?baud=9600", "usb://ZAQ/KV-T80?serial=7"});
    ASSERT_TRUE(cups.Ok());
    std::vector<std::string> uris;
    ASSERT_EQ(EnumPrinterDeviceUris(&uris, 5000), TRUE);
    EXPECT_EQ(uris.size(), 3u);
    EXPECT_EQ(IsPrinterOnPort("192.168.0.20"), TRUE);
    EXPECT_EQ(IsPrinterOnPort("192.168.0.2"), FALSE);
    EXPECT_EQ(IsPrinterOnPort("ttyS1"), TRUE);
    EXPECT_EQ(IsPrinterOnPort("ttyS2"), FALSE);
    EXPECT_EQ(IsPrinterOnPort("USB001"), TRUE);
    EXPECT_EQ(cups.Requests(), 6);
    EXPECT_EQ(LogText().find("IsPrinterOnPort"), std::string::npos) << LogText();
}

TEST_F(CupsTest, ServerWithoutQueuesAnswersButHasNoPrinterOnAnyPort) {
    FakeCups cups({});
    ASSERT_TRUE(cups.Ok());
    std::vector<std::string> uris{"left over"};
    EXPECT_EQ(EnumPrinterDeviceUris(&uris, 5000), TRUE);
    EXPECT_TRUE(uris.empty());
    EXPECT_EQ(CupsServerAnswers(5000), TRUE);
    EXPECT_EQ(IsPrinterOnPort("ttyS0"), FALSE);
    EXPECT_EQ(cups.Requests(), 3);
}

}  // namespace
