#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "FakeCups.h"
#include "LogReader.h"
#include "MockSystemd.h"
#include "platform/LastError.h"
#include "platform/WinError.h"
#include "system/Service.h"

namespace {

constexpr const char* kCups = "cups.service";
constexpr ServiceLimits kShort{300, 100, 600, 300};
constexpr const char* kInvalid = "[comm] Spooler service is invalid!!";

class SpoolerTest : public LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        ASSERT_TRUE(m_systemd.Ok()) << m_systemd.Error();
        ASSERT_TRUE(m_systemd.AddUnit(kCups));
        ASSERT_TRUE(m_systemd.SetUnitProperty(kCups, "ActiveState", "active"));
    }
    MockSystemd m_systemd;
};

TEST_F(SpoolerTest, StopsOnlyForAPortThatAQueueUses) {
    FakeCups cups({"serial:/dev/ttyS10"});
    ASSERT_TRUE(cups.Ok());
    EXPECT_EQ(SpoolerControl(FALSE, "ttyS2"), TRUE);
    EXPECT_EQ(m_systemd.Calls("StopUnit"), 0);
    EXPECT_EQ(m_systemd.ActiveState(kCups), "active");

    EXPECT_EQ(SpoolerControl(FALSE, "ttyS1"), TRUE);
    EXPECT_EQ(m_systemd.CallsFor("StopUnit", kCups), 1);
    EXPECT_EQ(m_systemd.ActiveState(kCups), "inactive");
}

TEST_F(SpoolerTest, StartWaitsForTheServerToAnswer) {
    ASSERT_TRUE(m_systemd.SetUnitProperty(kCups, "ActiveState", "inactive"));
    FakeCups cups({});
    ASSERT_TRUE(cups.Ok());
    EXPECT_EQ(SpoolerControl(TRUE, nullptr, kShort), TRUE);
    EXPECT_EQ(m_systemd.ActiveState(kCups), "active");
    EXPECT_GE(cups.Requests(), 1);
    EXPECT_EQ(CountLines('E', RPC_S_SERVER_UNAVAILABLE, kInvalid), 0) << LogText();
}

TEST_F(SpoolerTest, StartedUnitWhoseServerNeverAnswersIsLoggedButStands) {
    ClosedCups closed;
    EXPECT_EQ(SpoolerControl(TRUE, nullptr, kShort), TRUE);
    EXPECT_EQ(m_systemd.ActiveState(kCups), "active");
    EXPECT_TRUE(HasLine('E', RPC_S_SERVER_UNAVAILABLE, kInvalid)) << LogText();
}

TEST_F(SpoolerTest, AnsweringServerMakesUpForAUnitThatCannotStart) {
    ASSERT_TRUE(m_systemd.ReplaceManagerMethod(
        "StartUnit", "ss", "o",
        "raise dbus.exceptions.DBusException('no', name='org.freedesktop.DBus.Error.AccessDenied')"));
    ASSERT_TRUE(m_systemd.SetUnitProperty(kCups, "ActiveState", "inactive"));
    {
        FakeCups cups({});
        ASSERT_TRUE(cups.Ok());
        EXPECT_EQ(SpoolerControl(TRUE, nullptr, kShort), TRUE);
    }
    EXPECT_TRUE(HasLine('E', ERROR_ACCESS_DENIED, "[comm] SeviceControl StartService()")) << LogText();
    EXPECT_EQ(CountLines('E', RPC_S_SERVER_UNAVAILABLE, kInvalid), 0) << LogText();
}

// Each look for the server is one request to the stand-in that refuses them all: a
// wait makes several, no wait exactly one.
constexpr ServiceLimits kLongSpoolerWait{300, 100, 1500, 100};

TEST(SpoolerStartTest, OnlyAStartThatSystemdTookIsFollowedByTheWait) {
    TempDir root;
    LogCapture log(root.Path());
    struct Case {
        const char* pszName;
        const char* pszState;  // of cups.service before the start; null: no such unit
        bool bRefuse;          // StartUnit answers "access denied"
        bool bWait;
    } cases[] = {
        {"started", "inactive", false, true},
        {"running already", "active", false, false},
        {"start refused", "inactive", true, false},
        {"no cups.service", nullptr, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        MockSystemd systemd;
        ASSERT_TRUE(systemd.Ok()) << systemd.Error();
        if (c.pszState != nullptr) {
            ASSERT_TRUE(systemd.AddUnit(kCups));
            ASSERT_TRUE(systemd.SetUnitProperty(kCups, "ActiveState", c.pszState));
        }
        if (c.bRefuse) {
            ASSERT_TRUE(systemd.ReplaceManagerMethod(
                "StartUnit", "ss", "o",
                "raise dbus.exceptions.DBusException('no', name='org.freedesktop.DBus.Error.AccessDenied')"));
        }
        FakeCups cups({}, true);
        ASSERT_TRUE(cups.Ok());
        BOOL bResult = SpoolerControl(TRUE, nullptr, kLongSpoolerWait);
        EXPECT_EQ(bResult, c.pszState != nullptr && !c.bRefuse);
        EXPECT_EQ(systemd.CallsFor("StartUnit", kCups), c.pszState != nullptr && std::string(c.pszState) != "active");
        if (c.bWait) {
            EXPECT_GE(cups.Refused(), 2);
        } else {
            EXPECT_EQ(cups.Refused(), 1);
        }
    }
}

TEST(SpoolerStartTest, NoBusOrNoSystemdMeansOneLookAndNoWait) {
    TempDir root;
    LogCapture log(root.Path());
    for (bool bBus : {false, true}) {
        SCOPED_TRACE(bBus ? "bus without systemd" : "no bus");
        std::optional<MockSystemd> bus;
        if (bBus) {
            bus.emplace(false);
            ASSERT_TRUE(bus->Ok()) << bus->Error();
        } else {
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (root / "no-bus")).c_str(), 1);
        }
        FakeCups cups({}, true);
        ASSERT_TRUE(cups.Ok());
        EXPECT_EQ(SpoolerControl(TRUE, nullptr, kLongSpoolerWait), FALSE);
        EXPECT_EQ(GetLastError(), RPC_S_SERVER_UNAVAILABLE);
        EXPECT_EQ(cups.Refused(), 1);
        if (!bBus) ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    }
    EXPECT_NE(log.Text().find("[comm] SeviceControl OpenSCManager()"), std::string::npos) << log.Text();
}

TEST_F(SpoolerTest, UnitsThatStartCupsOnDemandStopAndStartWithIt) {
    for (const char* pszUnit : {"cups.socket", "cups.path"}) {
        ASSERT_TRUE(m_systemd.AddUnit(pszUnit));
        ASSERT_TRUE(m_systemd.SetUnitProperty(pszUnit, "ActiveState", "active"));
    }
    ASSERT_TRUE(m_systemd.AddUnitProperty(kCups, "TriggeredBy", std::vector<std::string>{"cups.socket", "cups.path"}));

    EXPECT_EQ(SpoolerControl(FALSE, nullptr), TRUE);
    for (const char* pszUnit : {"cups.socket", "cups.path", kCups}) {
        EXPECT_EQ(m_systemd.ActiveState(pszUnit), "inactive") << pszUnit;
        EXPECT_EQ(m_systemd.CallsFor("StopUnit", pszUnit), 1) << pszUnit;
    }

    FakeCups cups({});
    ASSERT_TRUE(cups.Ok());
    EXPECT_EQ(SpoolerControl(TRUE, nullptr, kShort), TRUE);
    for (const char* pszUnit : {"cups.socket", "cups.path", kCups}) {
        EXPECT_EQ(m_systemd.ActiveState(pszUnit), "active") << pszUnit;
        EXPECT_EQ(m_systemd.CallsFor("StartUnit", pszUnit), 1) << pszUnit;
    }
    EXPECT_EQ(LogText().find("[W]"), std::string::npos) << LogText();
}

TEST_F(SpoolerTest, TriggerThatCannotBeStoppedIsAWarningOnly) {
    ASSERT_TRUE(m_systemd.AddUnitProperty(kCups, "TriggeredBy", std::vector<std::string>{"cups.gone"}));
    EXPECT_EQ(SpoolerControl(FALSE, nullptr), TRUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(m_systemd.ActiveState(kCups), "inactive");
    EXPECT_NE(LogText().find("[W]"), std::string::npos) << LogText();
    EXPECT_NE(LogText().find("] : [comm] SpoolerControl StopUnit(cups.gone)"), std::string::npos) << LogText();
}

}  // namespace
