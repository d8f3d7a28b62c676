#include <gtest/gtest.h>

#include "LogReader.h"
#include "MockSystemd.h"
#include "platform/LastError.h"
#include "platform/WinError.h"
#include "system/Service.h"
#include "system/SystemdManager.h"

namespace {

constexpr const char* kPos = "ZaqPosSrv.service";
constexpr const char* kCups = "cups.service";

// Short waits for the paths that would otherwise sit through the real limits.
constexpr ServiceLimits kShort{300, 100, 600, 300};

class ServiceTest : public LoggedTest {
protected:
    void SetUp() override {
        LoggedTest::SetUp();
        ASSERT_TRUE(m_systemd.Ok()) << m_systemd.Error();
        ASSERT_TRUE(m_systemd.AddUnit(kCups));
        ASSERT_TRUE(m_systemd.AddUnit(kPos));
    }
    MockSystemd m_systemd;
};

TEST_F(ServiceTest, StopsThenStartsARunningUnit) {
    ASSERT_TRUE(m_systemd.SetUnitProperty(kPos, "ActiveState", "active"));

    SetLastError(ERROR_GEN_FAILURE);
    EXPECT_EQ(PosServiceControl(FALSE), TRUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(m_systemd.ActiveState(kPos), "inactive");
    EXPECT_EQ(m_systemd.CallsFor("StopUnit", kPos), 1);
    EXPECT_EQ(m_systemd.Calls("StartUnit"), 0);
    EXPECT_TRUE(HasLine('I', 0, "[comm] SeviceControl stoped [ZaqPosSrv.service]")) << LogText();

    EXPECT_EQ(PosServiceControl(TRUE), TRUE);
    EXPECT_EQ(m_systemd.ActiveState(kPos), "active");
    EXPECT_EQ(m_systemd.CallsFor("StartUnit", kPos), 1);
    EXPECT_TRUE(HasLine('I', 0, "[comm] SeviceControl running [ZaqPosSrv.service]")) << LogText();
    EXPECT_EQ(m_systemd.ActiveState(kCups), "inactive");  // the other unit untouched
}

TEST_F(ServiceTest, UnitAlreadyInTheWantedStateGetsNoRequest) {
    struct Case {
        BOOL bStart;
        const char* pszState;
        const char* pszLine;
    } cases[] = {
        {TRUE, "active", "[comm] SeviceControl running [cups.service]"},
        {TRUE, "reloading", "[comm] SeviceControl running [cups.service]"},
        {FALSE, "inactive", "[comm] SeviceControl stoped [cups.service]"},
        {FALSE, "failed", "[comm] SeviceControl stoped [cups.service]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszState);
        ASSERT_TRUE(m_systemd.SetUnitProperty(kCups, "ActiveState", c.pszState));
        ASSERT_TRUE(m_systemd.ClearCalls());
        int nBefore = CountLines('I', 0, c.pszLine);
        EXPECT_EQ(SeviceControl(c.bStart, "Spooler"), TRUE);
        EXPECT_EQ(m_systemd.Calls("StartUnit") + m_systemd.Calls("StopUnit"), 0);
        EXPECT_EQ(m_systemd.ActiveState(kCups), c.pszState);
        EXPECT_EQ(CountLines('I', 0, c.pszLine), nBefore + 1);
    }
}

TEST_F(ServiceTest, UnitThatIsNotInstalledFailsAtOpenService) {
    // Not known to the manager at all, and known only as a unit file that is missing.
    ASSERT_TRUE(m_systemd.AddUnit("Ghost.service"));
    ASSERT_TRUE(m_systemd.SetUnitProperty("Ghost.service", "LoadState", "not-found"));
    for (const char* pszName : {"Absent", "Ghost"}) {
        SCOPED_TRACE(pszName);
        ASSERT_TRUE(m_systemd.ClearCalls());
        EXPECT_EQ(SeviceControl(FALSE, pszName), FALSE);
        EXPECT_EQ(GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
        EXPECT_TRUE(HasLine('E', ERROR_SERVICE_DOES_NOT_EXIST,
                            "[comm] SeviceControl OpenService(" + std::string(pszName) + ".service)"))
            << LogText();
        EXPECT_EQ(m_systemd.Calls("StopUnit"), 0);
    }
}

TEST_F(ServiceTest, RefusedRequestIsReportedWithItsReason) {
    ASSERT_TRUE(m_systemd.ReplaceManagerMethod(
        "StartUnit", "ss", "o",
        "raise dbus.exceptions.DBusException('no', name='org.freedesktop.DBus.Error.AccessDenied')"));
    EXPECT_EQ(PosServiceControl(TRUE), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(HasLine('E', ERROR_ACCESS_DENIED, "[comm] SeviceControl StartService()")) << LogText();
    EXPECT_EQ(m_systemd.ActiveState(kPos), "inactive");
}

TEST_F(ServiceTest, UnitThatNeverGetsThereTimesOutAfterOneRequest) {
    // A start job that systemd accepts but that never finishes.
    ASSERT_TRUE(m_systemd.ReplaceManagerMethod("StartUnit", "ss", "o", "ret = '/org/freedesktop/systemd1/job/7'"));
    ASSERT_TRUE(m_systemd.SetUnitProperty(kPos, "ActiveState", "activating"));
    EXPECT_EQ(PosServiceControl(TRUE, kShort), FALSE);
    EXPECT_EQ(GetLastError(), ERROR_TIMEOUT);
    EXPECT_TRUE(HasLine('E', ERROR_TIMEOUT, "[comm] SeviceControl [Timeout:300ms]")) << LogText();
    EXPECT_EQ(m_systemd.CallsFor("StartUnit", kPos), 1);
}

class NoSystemdTest : public LoggedTest {};

TEST_F(NoSystemdTest, NoBusOrNoSystemdOnItFailsAtOpenSCManager) {
    {
        MockSystemd busOnly(false);
        ASSERT_TRUE(busOnly.Ok()) << busOnly.Error();
        EXPECT_EQ(PosServiceControl(FALSE), FALSE);
        EXPECT_EQ(GetLastError(), RPC_S_SERVER_UNAVAILABLE);
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (m_root / "no-bus")).c_str(), 1);
    EXPECT_EQ(SeviceControl(TRUE, "Spooler"), FALSE);
    EXPECT_EQ(GetLastError(), RPC_S_SERVER_UNAVAILABLE);
    ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    EXPECT_EQ(CountLines('E', RPC_S_SERVER_UNAVAILABLE, "[comm] SeviceControl OpenSCManager()"), 2) << LogText();
}

TEST(ServiceUnitName, MapsTheServiceNames) {
    EXPECT_EQ(ServiceUnitName("Spooler"), "cups.service");
    EXPECT_EQ(ServiceUnitName("ZaqPosSrv"), "ZaqPosSrv.service");
    EXPECT_EQ(ServiceUnitName("cups.socket"), "cups.socket");
}

}  // namespace
