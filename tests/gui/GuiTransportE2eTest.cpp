// Whole updates from the desktop dialog over USB, a serial line and Bluetooth: the user
// picks the kind, the front end's own discovery of that kind fills the port list, and the
// engine runs against the simulated printer found there.
#include <QApplication>
#include <QComboBox>
#include <QListWidget>

#include <cstdint>

#include "FakeCups.h"
#include "MockBluez.h"
#include "MockSystemd.h"
#include "gui/GuiE2eFixture.h"
#include "port/ComConf.h"
#include "support/SimBluetooth.h"
#include "support/SimSerial.h"
#include "support/SimUsb.h"
#include "support/StoredImages.h"
#include "system/Service.h"
#include "ui/Launch.h"

namespace {

constexpr const char* kTty = "ttyACM0";
constexpr const char* kUsbModel = "SIM Desk 80";
constexpr const char* kBthAddress = "02:00:5A:00:00:21";
constexpr const char* kBthName = "SIM Pocket 58";
constexpr std::uint32_t kPrinterClass = 0x040680;
constexpr DWORD kChosenBaud = 57600;  // told apart from the fixed 115200 of a retry

// The printer on a pty published as dev/ttyACM0 (a CDC-ACM line) in the test's root, with
// systemd and CUPS stand-ins for the services the search and the run stop and start.
class SerialTransport : public GuiTransport {
public:
    int Kind() const override { return static_cast<int>(PORT_KIND_SERIAL); }
    std::string Prepare(const std::string&) override {
        m_pSystemd = std::make_unique<MockSystemd>();
        if (!m_pSystemd->Ok()) return "no mock systemd: " + m_pSystemd->Error();
        for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
            EXPECT_TRUE(m_pSystemd->AddRunningUnit(pszUnit)) << pszUnit;
        }
        // A print queue on the printer's line: the run stops the spooler for it.
        const std::string queue = "serial:/dev/" + std::string(kTty) + "?baud=115200";
        m_pCups = std::make_unique<FakeCups>(std::vector<std::string>{queue});
        EXPECT_TRUE(m_pCups->Ok());
        return {};
    }
    std::unique_ptr<sim::Printer> Start(sim::Config config, const std::string& root) override {
        return StartSerialPrinter(std::move(config), root, kTty);
    }
    MockSystemd& Systemd() { return *m_pSystemd; }

private:
    std::unique_ptr<MockSystemd> m_pSystemd;
    std::unique_ptr<FakeCups> m_pCups;
};

// The printer paired with a mock BlueZ whose bus stands in for the system bus; its profile
// connection is the simulated printer's stream.
class BluetoothTransport : public GuiTransport {
public:
    int Kind() const override { return static_cast<int>(PORT_KIND_BLUETOOTH); }
    std::string Prepare(const std::string&) override {
        m_pBluez = std::make_unique<MockBluez>();
        if (!m_pBluez->Ok()) return "no mock BlueZ: " + m_pBluez->Error();
        EXPECT_TRUE(m_pBluez->AddAdapter()) << m_pBluez->Error();
        return {};
    }
    std::unique_ptr<sim::Printer> Start(sim::Config config, const std::string& root) override {
        auto printer = StartBluetoothPrinter(std::move(config), root + "/printer.sock");
        if (!printer) return nullptr;
        if (!m_pBluez->AddDevice(kBthAddress, kBthName, kPrinterClass, true) ||
            !m_pBluez->ServeProfile(kBthAddress, root + "/printer.sock")) {
            ADD_FAILURE() << m_pBluez->Error();
            return nullptr;
        }
        return printer;
    }

private:
    std::unique_ptr<MockBluez> m_pBluez;
};

// The printer's usblp node lp0 in the test's root; after its restart it comes back as lp1,
// so the run has to find it again under the next port name.
class UsbTransport : public GuiTransport {
public:
    int Kind() const override { return static_cast<int>(PORT_KIND_USB); }
    std::string Prepare(const std::string&) override { return {}; }
    std::unique_ptr<sim::Printer> Start(sim::Config config, const std::string& root) override {
        config.usb.szDeviceId = std::string("MFG:ZAQ;CMD:ZAQ;MDL:") + kUsbModel + ";CLS:PRINTER;";
        return StartUsbPrinter(std::move(config), root, 0, true);
    }
};

std::unique_ptr<GuiTransport> MakeGuiTransport(const std::string& name) {
    if (name == "usb") return std::make_unique<UsbTransport>();
    if (name == "serial") return std::make_unique<SerialTransport>();
    return std::make_unique<BluetoothTransport>();
}

// The port name and the line the discovery lists for it.
std::string PortNameOf(const std::string& transport) {
    if (transport == "usb") return "USB001";
    return transport == "serial" ? kTty : kBthAddress;
}
std::string ListLineOf(const std::string& transport) {
    if (transport == "usb") return std::string("USB001\t (ZAQ ") + kUsbModel + ")";
    return transport == "serial" ? std::string(kTty) + "\t" : std::string(kBthAddress) + "\t [\"" + kBthName + "\"]";
}

std::string ErrorBox(DWORD dwText, DWORD dwLocation, DWORD dwError) {
    return MessageText(dwText) + StrPrintf("\n\nErrorCode = [ %06X, %08X ]", dwLocation, dwError);
}

// Clicks the line as the user does (a single serial port is already selected: it stays).
void ClickLine(CPortListDlg& d, const std::string& line) {
    const QList<QListWidgetItem*> found = d.List()->findItems(QString::fromStdString(line), Qt::MatchExactly);
    ASSERT_EQ(found.size(), 1) << line;
    QTest::mouseClick(d.List()->viewport(), Qt::LeftButton, {}, d.List()->visualItemRect(found.front()).center());
}

class GuiSerialE2e : public GuiE2e {
protected:
    GuiSerialE2e() {
        auto transport = std::make_unique<SerialTransport>();
        m_pSerial = transport.get();
        m_pTransport = std::move(transport);
    }
    void SetUp() override {
        ResetDefaultCommConfigsForTest();
        GuiE2e::SetUp();
    }
    void TearDown() override {
        GuiE2e::TearDown();
        ResetDefaultCommConfigsForTest();
    }

    // In the port list: the printer's line, then Settings, where the user sets kChosenBaud
    // in the serial settings dialog, then Update. Notes what the list and the settings showed.
    void ChooseWithSettings(CPortListDlg& d) {
        m_bUpdateEnabledBeforeChoice = d.UpdateButton()->isEnabled();
        NoteServices(&m_servicesAtList);
        ClickLine(d, ListLineOf("serial"));
        ASSERT_TRUE(d.SettingsButton()->isVisible());
        ASSERT_TRUE(d.SettingsButton()->isEnabled());
        QTimer::singleShot(0, &d, [this] {
            CSerialSettingsDlg* pSettings = nullptr;
            ASSERT_TRUE(QTest::qWaitFor(
                [&] {
                    pSettings = dynamic_cast<CSerialSettingsDlg*>(QApplication::activeModalWidget());
                    return pSettings != nullptr;
                },
                10000));
            m_settingsTitle = pSettings->windowTitle().toStdString();
            m_shownBaud = pSettings->BaudRate()->currentData().toInt();
            QComboBox* pBaud = pSettings->BaudRate();
            pBaud->setCurrentIndex(pBaud->findData(static_cast<int>(kChosenBaud)));
            QTest::mouseClick(pSettings->OkButton(), Qt::LeftButton);
        });
        QTest::mouseClick(d.SettingsButton(), Qt::LeftButton);
        if (theApp.pComConfig) m_chosen = theApp.pComConfig->ccChosen;
        QTest::mouseClick(d.UpdateButton(), Qt::LeftButton);
    }

    struct Services {
        std::vector<int> stops, starts;
        std::vector<std::string> states;
    };
    // The StopUnit and StartUnit calls and the state of the spooler and the POS service.
    void NoteServices(Services* pOut) {
        *pOut = {};
        for (const char* pszUnit : {kSpoolerUnit, kPosServiceUnit}) {
            pOut->stops.push_back(m_pSerial->Systemd().CallsFor("StopUnit", pszUnit));
            pOut->starts.push_back(m_pSerial->Systemd().CallsFor("StartUnit", pszUnit));
            pOut->states.push_back(m_pSerial->Systemd().ActiveState(pszUnit));
        }
    }
    // Each service was stopped at least once, started as often, and runs.
    static void ExpectAllRestarted(const Services& s) {
        for (std::size_t i = 0; i < s.stops.size(); ++i) {
            EXPECT_GE(s.stops[i], 1) << i;
            EXPECT_EQ(s.starts[i], s.stops[i]) << i;
            EXPECT_EQ(s.states[i], "active") << i;
        }
    }
    static DWORD DefaultBaud() {
        COMMCONFIG cc;
        EXPECT_TRUE(GetDefaultCommConfig(kTty, &cc));
        return cc.dcb.BaudRate;
    }

    SerialTransport* m_pSerial = nullptr;
    bool m_bUpdateEnabledBeforeChoice = false;
    Services m_servicesAtList;
    std::string m_settingsTitle;
    int m_shownBaud = 0;
    COMMCONFIG m_chosen{};
};

// The serial kind chosen, the pty found by the search (which stops and restarts the
// competing services), the line set to 57600 baud in the settings dialog, and the firmware
// stored as sent; the choice is the port's default afterwards.
TEST_F(GuiSerialE2e, SerialPortFromTheListWithChosenSettingsIsUpdated) {
    sim::MadeFile fw = MakeFirmware(0x07, 20000);
    StartPrinter(0x05);
    SelectAndUpdate(60000, static_cast<int>(PORT_KIND_SERIAL), [this](CPortListDlg& d) { ChooseWithSettings(d); });

    EXPECT_EQ(m_heading, LoadResString(IDS_SPECIFY_SERIAL));
    EXPECT_EQ(m_listLines, std::vector<std::string>{ListLineOf("serial")});
    EXPECT_TRUE(m_bUpdateEnabledBeforeChoice);  // the only port is preselected
    ExpectAllRestarted(m_servicesAtList);  // by the search, before any run
    EXPECT_EQ(m_settingsTitle, kTty);
    EXPECT_EQ(m_shownBaud, 115200);  // a fresh record starts from the fixed setting
    EXPECT_EQ(m_chosen.dcb.BaudRate, kChosenBaud);
    EXPECT_EQ(m_chosen.dcb.fRtsControl, RTS_CONTROL_HANDSHAKE);

    ExpectFirmwareUpdated(PORT_KIND_SERIAL, fw);
    EXPECT_EQ(theApp.szPortName, kTty);
    EXPECT_EQ(DefaultBaud(), kChosenBaud);
    Services after;
    NoteServices(&after);
    ExpectAllRestarted(after);
    EXPECT_GT(after.stops[0], m_servicesAtList.stops[0]);  // the run stopped the spooler for its queue
    EXPECT_GT(after.stops[1], m_servicesAtList.stops[1]);
}

// A printer that comes back with the wrong ROM ID: the user asks for the retry, which
// switches the line to the fixed setting; when it fails too the user's choice is restored.
TEST_F(GuiSerialE2e, RetryOverSerialSwitchesToTheFixedSettingAndRestoresTheChoice) {
    MakeFirmware(0x07, 6000);
    sim::Faults faults;
    faults.nWrongRomId = 0x06;
    StartPrinter(0x05, faults);
    m_answers = {IDRETRY};
    SelectAndUpdate(120000, static_cast<int>(PORT_KIND_SERIAL), [this](CPortListDlg& d) { ChooseWithSettings(d); });

    EXPECT_EQ(Boxes(), (std::vector<std::string>{ErrorBox(IDS_FW_UPDATE_FAILED, 0x040703, 0x2000000D),
                                                 ErrorBox(IDS_FW_UPDATE_FAILED_BOOT_MODE, 0x040703, 0x2000000D)}));
    ASSERT_EQ(m_urls.size(), 1u);
    EXPECT_TRUE(m_urls[0].ends_with("/firmup2/")) << m_urls[0];
    EXPECT_EQ(theApp.nExitCode.load(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_EQ(theApp.szPortName, kTty);
    LogFlush();
    const std::string log = TempDir::Read(LogFolder() + "/" + LOG_PROGRAM_NAME + ".log");
    const std::size_t chosen = log.find("Set ComConfig. [57600,8,0,1,0,1,0,0,0,0,2]");
    const std::size_t fixed = log.find("Set ComConfig default. [115200,8,0,1,0,1,0,0,0,0,2]");
    const std::size_t restored = log.rfind("Reset ComConfig. [57600,8,0,1,0,1,0,0,0,0,2]");
    ASSERT_NE(chosen, std::string::npos);
    ASSERT_NE(fixed, std::string::npos);
    ASSERT_NE(restored, std::string::npos);
    EXPECT_LT(chosen, fixed);
    EXPECT_LT(fixed, restored);
    EXPECT_NE(log.find("[ttyACM0] SetComConfig SetCommState(57600,n,8,1,p) "), std::string::npos);
    EXPECT_NE(log.find("[ttyACM0] SetComConfig SetCommState(115200,n,8,1,p) "), std::string::npos);
    EXPECT_EQ(DefaultBaud(), kChosenBaud);
    Services after;
    NoteServices(&after);
    ExpectAllRestarted(after);
}

class GuiBluetoothE2e : public GuiE2e {
protected:
    GuiBluetoothE2e() { m_pTransport = std::make_unique<BluetoothTransport>(); }
};

// The paired printer listed by address and name, chosen, updated over its profile stream.
TEST_F(GuiBluetoothE2e, PairedPrinterFromTheListIsUpdated) {
    sim::MadeFile fw = MakeFirmware(0x07, 20000);
    StartPrinter(0x05);
    SelectAndUpdate(60000, static_cast<int>(PORT_KIND_BLUETOOTH),
                    [](CPortListDlg& d) {
                        ClickLine(d, ListLineOf("bluetooth"));
                        QTest::mouseClick(d.UpdateButton(), Qt::LeftButton);
                    });

    EXPECT_EQ(m_heading, LoadResString(IDS_SPECIFY_BLUETOOTH));
    EXPECT_EQ(m_listLines, std::vector<std::string>{ListLineOf("bluetooth")});
    ExpectFirmwareUpdated(PORT_KIND_BLUETOOTH, fw);
    EXPECT_EQ(theApp.szPortName, kBthAddress);
}

class GuiUsbE2e : public GuiE2e {
protected:
    GuiUsbE2e() { m_pTransport = std::make_unique<UsbTransport>(); }
};

// The maker's printer listed by port name and model, updated; it restarts under the next
// port name, where the run finds it again for the verification.
TEST_F(GuiUsbE2e, PrinterFromTheListIsUpdatedAndFoundAgainUnderItsNewName) {
    sim::MadeFile fw = MakeFirmware(0x07, 20000);
    StartPrinter(0x05);
    SelectAndUpdate(60000, static_cast<int>(PORT_KIND_USB), [](CPortListDlg& d) {
        ClickLine(d, ListLineOf("usb"));
        QTest::mouseClick(d.UpdateButton(), Qt::LeftButton);
    });

    EXPECT_EQ(m_heading, LoadResString(IDS_SPECIFY_USB));
    EXPECT_EQ(m_listLines, std::vector<std::string>{ListLineOf("usb")});
    ExpectFirmwareUpdated(PORT_KIND_USB, fw);
    EXPECT_EQ(UsbPortOf(*m_pPrinter), "USB002");
}

// A failing printer over each transport: the run ends with its result and the dialog's
// error box with the codes of where it failed.
struct TransportFault {
    const char* pszName;
    const char* pszTransport;
    sim::Faults faults;
    DWORD dwResult;
    DWORD dwText, dwLocation, dwError;
};

inline void PrintTo(const TransportFault& c, std::ostream* os) { *os << c.pszName; }

sim::Faults Silent() {
    sim::Faults f;
    f.bSilent = true;
    return f;
}

class GuiTransportFault : public GuiE2e, public ::testing::WithParamInterface<TransportFault> {
protected:
    GuiTransportFault() { m_pTransport = MakeGuiTransport(GetParam().pszTransport); }
    void SetUp() override {
        ResetDefaultCommConfigsForTest();
        GuiE2e::SetUp();
    }
    void TearDown() override {
        GuiE2e::TearDown();
        ResetDefaultCommConfigsForTest();
    }
};

TEST_P(GuiTransportFault, RunEndsWithTheErrorBoxOfItsPlace) {
    const TransportFault& c = GetParam();
    MakeFirmware(0x07, 6000);
    StartPrinter(0x05, c.faults);
    const std::string line = ListLineOf(c.pszTransport);
    SelectAndUpdate(120000, m_pTransport->Kind(), [line](CPortListDlg& d) {
        ClickLine(d, line);
        QTest::mouseClick(d.UpdateButton(), Qt::LeftButton);
    });

    EXPECT_EQ(m_listLines, std::vector<std::string>{line});
    EXPECT_EQ(Boxes(), std::vector<std::string>{ErrorBox(c.dwText, c.dwLocation, c.dwError)});
    EXPECT_EQ(theApp.nExitCode.load(), c.dwResult);
    EXPECT_EQ(theApp.szPortName, PortNameOf(c.pszTransport));
    EXPECT_TRUE(m_pPrinter->StoredImages().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, GuiTransportFault,
    ::testing::Values(TransportFault{"SilentOverUsb", "usb", Silent(), ERROR_CAN_NOT_COMPLETE, IDS_CONNECT_FAILED,
                                     0x040303, ERROR_CAN_NOT_COMPLETE},
                      TransportFault{"SilentOverSerial", "serial", Silent(), ERROR_CAN_NOT_COMPLETE, IDS_CONNECT_FAILED,
                                     0x040303, ERROR_CAN_NOT_COMPLETE},
                      TransportFault{"SilentOverBluetooth", "bluetooth", Silent(), ERROR_CAN_NOT_COMPLETE,
                                     IDS_CONNECT_FAILED, 0x040303, ERROR_CAN_NOT_COMPLETE}),
    [](const ::testing::TestParamInfo<TransportFault>& info) { return info.param.pszName; });

}  // namespace

KELVO_GUI_TEST_MAIN()
