// The print spooler and the POS service around a whole run: python3-dbusmock's systemd on
// a private bus and a CUPS stand-in whose one queue prints to the simulated printer.
#include <functional>

#include "FakeCups.h"
#include "MockSystemd.h"
#include "e2e/UpdateFixture.h"
#include "platform/Event.h"
#include "system/Service.h"

namespace {

using ::testing::ElementsAre;

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (std::size_t pos = text.find(part); pos != std::string::npos; pos = text.find(part, pos + 1)) ++n;
    return n;
}

// A box that looks at the services while the run holds the port open.
class CProbingMessageBox : public CRecordingMessageBox {
public:
    std::function<void()> probe;
    int MessageBox(const std::string& text, const std::string& caption, DWORD dwStyle) override {
        if (probe) probe();
        return CRecordingMessageBox::MessageBox(text, caption, dwStyle);
    }
};

class ServiceE2e : public UpdateFixture {
protected:
    void SetUp() override {
        UpdateFixture::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(m_systemd.Ok()) << m_systemd.Error();
        for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
            ASSERT_TRUE(m_systemd.AddRunningUnit(pszUnit));
        }
        SetMessageBox(&m_probingBox);
    }
    void TearDown() override {
        UpdateFixture::TearDown();
        ResetRunPortForTest();
    }
    bool IsolateServices() const override { return false; }
    std::vector<std::string> States() {
        return {m_systemd.ActiveState(kSpoolerUnit), m_systemd.ActiveState(kPosServiceUnit)};
    }

    MockSystemd m_systemd;
    CProbingMessageBox m_probingBox;
};

TEST_F(ServiceE2e, StoppedWhileThePortIsOpenAndStartedAfter) {
    FakeCups cups({"socket://" + m_szAddress + ":9100"});
    ASSERT_TRUE(cups.Ok());
    MakeFile("FW", kTypeId, 0x07, 5000);
    StartPrinter(Printer(0x30, 0x05));  // unknown Type ID: a box while the port is open
    std::vector<std::string> during;
    m_probingBox.probe = [&] { during = States(); };
    RunAll();

    EXPECT_EQ(Result(), ERROR_BAD_DEVICE);
    ASSERT_EQ(m_probingBox.Boxes().size(), 1u);
    EXPECT_THAT(during, ElementsAre("inactive", "inactive"));
    EXPECT_THAT(States(), ElementsAre("active", "active"));
    for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
        EXPECT_EQ(m_systemd.CallsFor("StopUnit", pszUnit), 1) << pszUnit;
        EXPECT_EQ(m_systemd.CallsFor("StartUnit", pszUnit), 1) << pszUnit;
    }
}

TEST_F(ServiceE2e, StartedAgainWhenTheOpenFails) {
    FakeCups cups({"socket://" + m_szAddress + ":9100"});
    ASSERT_TRUE(cups.Ok());
    MakeFile("FW", kTypeId, 0x07, 5000);
    StartPrinter(Printer(kTypeId, 0x05));
    RunInitialisation();
    // The port is still open under this name elsewhere: the run's open fails.
    HSDK hOther = 0;
    ASSERT_TRUE(pfnOpenPort(OPT_TCP_CON_WITHOUT_OPEN, PORT_KIND_LAN, m_szAddress.c_str(), &hOther));
    RunUpdateOnce();
    pfnClosePort(hOther, 0);

    EXPECT_EQ(Result(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(ExitStatusFromResult(Result()), 1);
    EXPECT_TRUE(m_probingBox.Boxes().empty());
    EXPECT_THAT(States(), ElementsAre("active", "active"));
    for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
        EXPECT_EQ(m_systemd.CallsFor("StopUnit", pszUnit), 1) << pszUnit;
        EXPECT_EQ(m_systemd.CallsFor("StartUnit", pszUnit), 1) << pszUnit;
        // One start of each unit, so one close of the run: a second one would find the
        // unit running and say so once more.
        EXPECT_EQ(Count(LogText(), std::string("] : [comm] SeviceControl running [") + pszUnit + "]"), 1)
            << LogText();
    }
    // One look for a queue on the port at the stop, one answer awaited after the start.
    EXPECT_EQ(cups.Requests(), 2);
    EXPECT_TRUE(m_host.Has("restore"));
}

TEST_F(ServiceE2e, RestoreAfterAnInterruptStartsThemWhileTheRunHoldsThePort) {
    FakeCups cups({"socket://" + m_szAddress + ":9100"});
    ASSERT_TRUE(cups.Ok());
    MakeFile("FW", kTypeId, 0x07, 5000);
    StartPrinter(Printer(0x30, 0x05));  // unknown Type ID: a box while the port is open
    Event boxShown, goOn;
    std::vector<std::string> during;
    m_probingBox.probe = [&] {
        during = States();
        boxShown.Set();
        WaitForEvent(goOn, INFINITE);
    };
    RunInitialisation();
    theApp.nPortKind = static_cast<int>(PORT_KIND_LAN);
    theApp.szPortName = m_szAddress;
    ASSERT_TRUE(StartUpdateThread(m_host, false));
    ASSERT_EQ(WaitForEvent(boxShown, 60000), WAIT_OBJECT_0);

    // The user quits while the run waits for an answer: the units run again before
    // the run has ended, and a second call changes nothing.
    RestoreMachineAfterInterrupt();
    EXPECT_THAT(States(), ElementsAre("active", "active"));
    RestoreMachineAfterInterrupt();
    EXPECT_TRUE(theApp.TestFlags(UF_CANCEL));
    goOn.Set();
    WaitForWorker(INFINITE);

    EXPECT_THAT(during, ElementsAre("inactive", "inactive"));
    EXPECT_THAT(States(), ElementsAre("active", "active"));
    for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
        EXPECT_EQ(m_systemd.CallsFor("StopUnit", pszUnit), 1) << pszUnit;
        EXPECT_EQ(m_systemd.CallsFor("StartUnit", pszUnit), 1) << pszUnit;
        EXPECT_EQ(Count(LogText(), std::string("] : [comm] SeviceControl running [") + pszUnit + "]"), 1)
            << LogText();
    }
    EXPECT_NE(LogText().find("***  Cancelled updating  ***"), std::string::npos) << LogText();

    // Nothing of this process stops a service any more.
    RunUpdateOnce();
    EXPECT_EQ(m_systemd.Calls("StopUnit"), 2);
    EXPECT_THAT(States(), ElementsAre("active", "active"));
}

}  // namespace
