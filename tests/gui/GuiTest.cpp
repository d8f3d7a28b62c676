// The desktop dialogs, run for real under Qt's offscreen platform.
#include <QAbstractButton>
#include <QComboBox>
#include <QFile>
#include <QFontMetrics>
#include <QFormLayout>
#include <QLibraryInfo>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QToolButton>

#include <csignal>
#include <set>
#include <thread>

#include "gui/GuiFixture.h"
#include "platform/Tick.h"
#include "ui/Launch.h"

namespace {

// --- port list --------------------------------------------------------------------------

struct KindCase {
    int nKind;
    DWORD dwHeading;
    bool bSorted;
    std::vector<std::string> lines;      // as discovered
    std::vector<std::string> shown;      // as listed
    std::string chosenName;              // Update on the first line
};

class PortListKinds : public GuiTest, public ::testing::WithParamInterface<KindCase> {};

TEST_P(PortListKinds, ListsSortsOrKeepsOrderAndHandsBackTheNameBeforeTheTab) {
    const KindCase& c = GetParam();
    std::shared_ptr<ComConfigRecord> slot;
    CPortListDlg dlg(&slot);
    CFakeDiscovery discovery(c.lines, c.bSorted);
    bool bShown = false;
    dlg.SetShownHook([&](CPortListDlg& d) {
        bShown = true;
        EXPECT_EQ(d.Heading()->text().toStdString(), LoadResString(c.dwHeading));
        EXPECT_EQ(d.UpdateButton()->text().toStdString(), "&Update");
        EXPECT_EQ(d.CancelButton()->text().toStdString(), "&Cancel");
        std::vector<std::string> shown;
        for (int i = 0; i < d.List()->count(); ++i) shown.push_back(d.List()->item(i)->text().toStdString());
        EXPECT_EQ(shown, c.shown);
        if (c.nKind == static_cast<int>(PORT_KIND_SERIAL)) {
            // Nothing preselected; Settings shows but waits for a line.
            EXPECT_TRUE(d.List()->selectedItems().isEmpty());
            EXPECT_FALSE(d.UpdateButton()->isEnabled());
            EXPECT_TRUE(d.SettingsButton()->isVisible());
            EXPECT_FALSE(d.SettingsButton()->isEnabled());
            d.List()->setCurrentRow(0);
        } else {
            EXPECT_EQ(d.List()->currentRow(), 0);
            EXPECT_FALSE(d.SettingsButton()->isVisible());
        }
        EXPECT_TRUE(d.UpdateButton()->isEnabled());
        QTest::mouseClick(d.UpdateButton(), Qt::LeftButton);
    });
    std::string name = "unchanged";
    EXPECT_EQ(dlg.Run(c.nKind, &discovery, &name), IDOK);
    EXPECT_TRUE(bShown);
    EXPECT_EQ(name, c.chosenName);
    EXPECT_EQ(slot != nullptr, c.nKind == static_cast<int>(PORT_KIND_SERIAL));
}

INSTANTIATE_TEST_SUITE_P(
    EachKind, PortListKinds,
    ::testing::Values(
        KindCase{0, IDS_SPECIFY_USB, true, {"USB002\t (ZAQ KV-T80)", "USB001\t (ZAQ KV-T58)"},
                 {"USB001\t (ZAQ KV-T58)", "USB002\t (ZAQ KV-T80)"}, "USB001"},
        KindCase{1, IDS_SPECIFY_BLUETOOTH, false, {"02:4B:56:33:44:66\t [\"KV-B\"]", "02:4B:56:33:44:55\t [\"KV-A\"]"},
                 {"02:4B:56:33:44:66\t [\"KV-B\"]", "02:4B:56:33:44:55\t [\"KV-A\"]"}, "02:4B:56:33:44:66"},
        KindCase{2, IDS_SPECIFY_ETHERNET, false, {"192.168.0.20\t [\"KV-T80\", 02:4B:56:00:00:01]", "10.0.0.5\t [\"KV-T58\", 02:4B:56:00:00:02]"},
                 {"192.168.0.20\t [\"KV-T80\", 02:4B:56:00:00:01]", "10.0.0.5\t [\"KV-T58\", 02:4B:56:00:00:02]"}, "192.168.0.20"},
        KindCase{3, IDS_SPECIFY_SERIAL, true, {"ttyS1\t", "ttyS0\t"}, {"ttyS0\t", "ttyS1\t"}, "ttyS0"},
        // A device without the maker's device ID lists its bare name, handed back whole.
        KindCase{0, IDS_SPECIFY_USB, true, {"USB003"}, {"USB003"}, "USB003"}));

TEST_F(GuiTest, PortListWithoutPortsShowsMessageAndCancelsWithoutShowingTheList) {
    std::shared_ptr<ComConfigRecord> slot;
    CPortListDlg dlg(&slot);
    bool bShown = false;
    dlg.SetShownHook([&](CPortListDlg&) { bShown = true; });
    CFakeDiscovery none({}, true);
    std::string name = "kept";
    for (CUtilPort* pUtil : {static_cast<CUtilPort*>(&none), static_cast<CUtilPort*>(nullptr)}) {
        EXPECT_EQ(dlg.Run(PORT_KIND_USB, pUtil, &name), IDCANCEL);
    }
    EXPECT_FALSE(bShown);
    EXPECT_EQ(name, "kept");
    EXPECT_EQ(dlg.FoundCount(), 0);
    auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0].text, "No port or printer found.\n\nErrorCode = [ 070401, 200010DF ]");
    EXPECT_EQ(boxes[0].nIcon, QMessageBox::Critical);
}

TEST_F(GuiTest, SerialRecordIsMadeAfreshForAnotherLineAndKeptForTheSameLine) {
    std::shared_ptr<ComConfigRecord> slot = std::make_shared<ComConfigRecord>(NewComConfigRecord("ttyS9"));
    CPortListDlg dlg(&slot);
    CFakeDiscovery discovery({"ttyS0\t", "ttyS1\t"}, true);
    dlg.SetShownHook([&](CPortListDlg& d) {
        EXPECT_EQ(slot, nullptr);  // the record of an earlier run is gone
        d.List()->setCurrentRow(0);
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot->pszPortName, "ttyS0");
        EXPECT_EQ(slot->ccChosen, SafeComConfig());
        slot->ccChosen.dcb.BaudRate = 38400;
        d.List()->setCurrentRow(0);
        EXPECT_EQ(slot->ccChosen.dcb.BaudRate, 38400u);  // same line: kept
        d.List()->setCurrentRow(1);
        EXPECT_EQ(slot->pszPortName, "ttyS1");
        EXPECT_EQ(slot->ccChosen, SafeComConfig());  // another line: fresh
        QTest::mouseClick(d.CancelButton(), Qt::LeftButton);
    });
    std::string name;
    EXPECT_EQ(dlg.Run(PORT_KIND_SERIAL, &discovery, &name), IDCANCEL);
}

// Enter does what the focused button says, and Update when the list has the focus.
struct EnterCase {
    const char* pszTarget;  // "update", "cancel", "settings", "list"
    int nKey;
    int nResult;
    int nEditorRuns;
};
void PrintTo(const EnterCase& c, std::ostream* os) { *os << c.pszTarget << (c.nKey == Qt::Key_Enter ? " Enter" : " Return"); }
class PortListEnter : public GuiTest, public ::testing::WithParamInterface<EnterCase> {};

TEST_P(PortListEnter, PressesTheFocusedButton) {
    const EnterCase& c = GetParam();
    std::shared_ptr<ComConfigRecord> slot;
    CPortListDlg dlg(&slot);
    int nEditorRuns = 0;
    dlg.SetConfigEditor([&](const std::string&, COMMCONFIG*) {
        ++nEditorRuns;
        return FALSE;
    });
    CFakeDiscovery discovery({"ttyS0\t", "ttyS1\t"}, true);
    bool bStillOpen = false;
    dlg.SetShownHook([&](CPortListDlg& d) {
        d.List()->setCurrentRow(1);
        const std::string target = c.pszTarget;
        QWidget* pTarget = target == "update"     ? static_cast<QWidget*>(d.UpdateButton())
                           : target == "cancel"   ? static_cast<QWidget*>(d.CancelButton())
                           : target == "settings" ? static_cast<QWidget*>(d.SettingsButton())
                                                  : static_cast<QWidget*>(d.List());
        ASSERT_TRUE(pTarget->isEnabled());
        pTarget->setFocus();
        ASSERT_EQ(d.focusWidget(), pTarget);
        QTest::keyClick(d.focusWidget(), static_cast<Qt::Key>(c.nKey));
        bStillOpen = d.isVisible();
        if (bStillOpen) QTest::keyClick(&d, Qt::Key_Escape);
    });
    std::string name = "unchanged";
    EXPECT_EQ(dlg.Run(PORT_KIND_SERIAL, &discovery, &name), c.nResult);
    EXPECT_EQ(name, c.nResult == IDOK ? "ttyS1" : "unchanged");
    EXPECT_EQ(nEditorRuns, c.nEditorRuns);
    EXPECT_EQ(bStillOpen, c.nEditorRuns > 0);  // the settings leave the list open
}

INSTANTIATE_TEST_SUITE_P(
    EachButton, PortListEnter,
    ::testing::Values(EnterCase{"update", Qt::Key_Return, IDOK, 0}, EnterCase{"update", Qt::Key_Enter, IDOK, 0},
                      EnterCase{"cancel", Qt::Key_Return, IDCANCEL, 0}, EnterCase{"cancel", Qt::Key_Enter, IDCANCEL, 0},
                      EnterCase{"settings", Qt::Key_Return, IDCANCEL, 1},
                      EnterCase{"settings", Qt::Key_Enter, IDCANCEL, 1}, EnterCase{"list", Qt::Key_Return, IDOK, 0},
                      EnterCase{"list", Qt::Key_Enter, IDOK, 0}));

// --- serial settings ------------------------------------------------------------------------

COMMCONFIG With(std::function<void(DCB&)> change) {
    COMMCONFIG config = SafeComConfig();
    change(config.dcb);
    return config;
}

TEST_F(GuiTest, SettingsRefuseRatesAndParitiesAndAdjustTheRestWithOneMessage) {
    ComConfigRecord record = NewComConfigRecord("ttyS0");
    record.ccChosen.dcb.BaudRate = 19200;
    const COMMCONFIG before = record.ccChosen;
    std::vector<COMMCONFIG> script = {
        With([](DCB& d) { d.BaudRate = 4800; }),
        With([](DCB& d) { d.Parity = MARKPARITY; }),
        With([](DCB& d) { d.Parity = SPACEPARITY; }),
        With([](DCB& d) {
            d.BaudRate = 9600;
            d.Parity = EVENPARITY;
            d.ByteSize = 7;
            d.StopBits = TWOSTOPBITS;
            d.fRtsControl = RTS_CONTROL_DISABLE;
            d.fOutxCtsFlow = 0;
            d.fDtrControl = DTR_CONTROL_DISABLE;
        }),
    };
    std::vector<COMMCONFIG> opened;
    std::size_t n = 0;
    RunComSettingsLoop(record, [&](const std::string& port, COMMCONFIG* p) {
        EXPECT_EQ(port, "ttyS0");
        opened.push_back(*p);
        *p = script.at(n++);
        return TRUE;
    }, false);
    ASSERT_EQ(n, script.size());
    for (const COMMCONFIG& c : opened) EXPECT_EQ(c, before);  // reopened with the kept settings
    auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 4u);
    EXPECT_EQ(boxes[0].text, "Specified baudrate is not supported.");
    EXPECT_EQ(boxes[1].text, "Specified parity is not supported.\nSupported parity: None, Even, Odd");
    EXPECT_EQ(boxes[2].text, boxes[1].text);
    EXPECT_EQ(boxes[3].text, "Specified setting is not supported for this software.\nSet as below.\n"
                             "\nByte size: 8 bit.\nStop bit: 1 bit\nFlow control: Hardware");
    EXPECT_EQ(boxes[3].nIcon, QMessageBox::Warning);
    const DCB& d = record.ccChosen.dcb;
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_EQ(d.Parity, EVENPARITY);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.StopBits, ONESTOPBIT);
    EXPECT_EQ(d.fRtsControl, RTS_CONTROL_HANDSHAKE);
    EXPECT_EQ(d.fOutxCtsFlow, 1u);
    EXPECT_EQ(d.fDtrControl, DTR_CONTROL_ENABLE);
}

TEST_F(GuiTest, SettingsKeepTheRecordOnCancelAndTakeEditsAsTheyAreWhenSilent) {
    ComConfigRecord record = NewComConfigRecord("ttyS0");
    const COMMCONFIG before = record.ccChosen;
    RunComSettingsLoop(record, [](const std::string&, COMMCONFIG* p) {
        p->dcb.BaudRate = 4800;
        return FALSE;
    }, false);
    EXPECT_EQ(record.ccChosen, before);
    theApp.SetFlags(UF_SILENT);
    const COMMCONFIG odd = With([](DCB& d) { d.BaudRate = 4800; d.ByteSize = 7; });
    RunComSettingsLoop(record, [&](const std::string&, COMMCONFIG* p) {
        *p = odd;
        return TRUE;
    }, true);
    EXPECT_EQ(record.ccChosen, odd);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(GuiTest, SerialSettingsDialogEditsTheLineSettings) {
    CSerialSettingsDlg dlg("ttyS0", SafeComConfig(), nullptr);
    EXPECT_EQ(dlg.Config(), SafeComConfig());  // shows what it was given
    dlg.BaudRate()->setCurrentIndex(dlg.BaudRate()->findData(4800));
    dlg.ByteSize()->setCurrentIndex(dlg.ByteSize()->findData(7));
    dlg.Parity()->setCurrentIndex(dlg.Parity()->findData(ODDPARITY));
    dlg.StopBits()->setCurrentIndex(dlg.StopBits()->findData(TWOSTOPBITS));
    dlg.FlowControl()->setCurrentIndex(0);  // none
    const DCB d = dlg.Config().dcb;
    EXPECT_EQ(d.BaudRate, 4800u);
    EXPECT_EQ(d.ByteSize, 7);
    EXPECT_EQ(d.Parity, ODDPARITY);
    EXPECT_EQ(d.StopBits, TWOSTOPBITS);
    EXPECT_EQ(d.fRtsControl, RTS_CONTROL_DISABLE);
    EXPECT_EQ(d.fOutxCtsFlow, 0u);
}

// The settings dialog speaks the user's language, and each label's mnemonic reaches its field.
struct SerialTextsCase {
    const char* pszLang;
    std::vector<std::string> labels;
    std::vector<std::string> parities;
    std::vector<std::string> flows;
    std::string ok;
    std::string cancel;
};
class SerialSettingsTexts : public GuiTest, public ::testing::WithParamInterface<SerialTextsCase> {};

TEST_P(SerialSettingsTexts, AreInTheUsersLanguageWithMnemonics) {
    const SerialTextsCase& c = GetParam();
    ::setenv("LANG", c.pszLang, 1);
    CSerialSettingsDlg dlg("ttyS0", SafeComConfig(), nullptr);
    auto* pForm = dlg.findChild<QFormLayout*>();
    ASSERT_NE(pForm, nullptr);
    const std::vector<QComboBox*> fields = {dlg.BaudRate(), dlg.ByteSize(), dlg.Parity(), dlg.StopBits(),
                                            dlg.FlowControl()};
    std::vector<std::string> labels;
    for (QComboBox* pField : fields) {
        auto* pLabel = qobject_cast<QLabel*>(pForm->labelForField(pField));
        ASSERT_NE(pLabel, nullptr);
        labels.push_back(pLabel->text().toStdString());
        EXPECT_EQ(pLabel->buddy(), pField);
    }
    EXPECT_EQ(labels, c.labels);
    auto items = [](QComboBox* p) {
        std::vector<std::string> texts;
        for (int i = 0; i < p->count(); ++i) texts.push_back(p->itemText(i).toStdString());
        return texts;
    };
    EXPECT_EQ(items(dlg.Parity()), c.parities);
    EXPECT_EQ(items(dlg.FlowControl()), c.flows);
    EXPECT_EQ(dlg.OkButton()->text().toStdString(), c.ok);
    EXPECT_EQ(dlg.CancelButton()->text().toStdString(), c.cancel);
    // Every label has a mnemonic of its own.
    std::set<QChar> keys;
    for (const std::string& label : labels) {
        const QString text = QString::fromStdString(label);
        const int i = text.indexOf('&');
        ASSERT_GE(i, 0) << label;
        EXPECT_TRUE(keys.insert(text.at(i + 1).toUpper()).second) << label;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EachLanguage, SerialSettingsTexts,
    ::testing::Values(
        SerialTextsCase{"C.UTF-8",
                        {"&Bits per second:", "&Data bits:", "&Parity:", "&Stop bits:", "&Flow control:"},
                        {"None", "Odd", "Even", "Mark", "Space"},
                        {"None", "Xon / Xoff", "Hardware"},
                        "OK",
                        "&Cancel"},
        SerialTextsCase{"ja_JP.UTF-8",
                        {"ビット/秒(&B):", "データビット(&D):", "パリティ(&P):", "ストップビット(&S):", "フロー制御(&F):"},
                        {"なし", "奇数", "偶数", "マーク", "スペース"},
                        {"なし", "Xon / Xoff", "ハードウェア"},
                        "OK",
                        "キャンセル(&C)"}));

// --- About ------------------------------------------------------------------------------------

TEST_F(GuiTest, AboutNamesTheProductAndVersionAndOpensOnF1) {
    EXPECT_EQ(CAboutDlg::Text().toStdString(),
              std::string("Kelvo\n for ZAQ Thermal Printers\n\nThis Software Version ") + KELVO_VERSION);
    std::string seen;
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        QTimer::singleShot(0, [&] {
            if (auto* p = dynamic_cast<CAboutDlg*>(QApplication::activeModalWidget())) {
                seen = p->windowTitle().toStdString() + "|" + p->TextLabel()->text().toStdString();
                p->accept();
            }
        });
        QTest::keyClick(&dlg, Qt::Key_F1);
        dlg.PostClose();
    });
    EXPECT_EQ(seen, "Version|" + CAboutDlg::Text().toStdString());
}

// --- main dialog ------------------------------------------------------------------------------

TEST_F(GuiTest, SetUpLabelsTheKindsOfTheModelAndEnablesOnlyThose) {
    ModelTable[0].dwInterfaces = IF_TCP;
    ModelTable[0].dwOptions = OPT_ETHERNET_OR_WIRELESS_LAN;
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        EXPECT_EQ(dlg.windowTitle().toStdString(), "ZAQ Kelvo");
        EXPECT_EQ(dlg.Control(IDC_TITLE_TEXT)->text().toStdString(), "Update the firmware.");
        EXPECT_EQ(dlg.Control(IDC_DESTINATION_TEXT)->text().toStdString(), "Select the destination.");
        EXPECT_EQ(dlg.KindButton(2)->text().toStdString(), "Wireless LAN/Ethernet");
        EXPECT_EQ(dlg.KindButton(3)->text().toStdString(), "Serial");
        for (int i = 0; i < 4; ++i) EXPECT_EQ(dlg.KindButton(i)->isEnabled(), i == 2) << i;
        EXPECT_TRUE(dlg.KindButton(2)->isChecked());
        // A click near the right edge of the kind's box, past its label, still chooses it.
        dlg.KindButton(2)->setAutoExclusive(false);
        dlg.KindButton(2)->setChecked(false);
        const QRect box = dlg.KindButton(2)->rect();
        QTest::mouseClick(dlg.KindButton(2), Qt::LeftButton, {}, QPoint(box.right() - 2, box.center().y()));
        dlg.KindButton(2)->setAutoExclusive(true);
        EXPECT_TRUE(dlg.KindButton(2)->isChecked());
        EXPECT_TRUE(dlg.Control(IDC_TITLE_TEXT)->isVisible());
        EXPECT_FALSE(dlg.Control(IDC_STATUS_TEXT)->isVisible());
        EXPECT_EQ(dlg.HelpIcon()->toolTip().toStdString(), "Help");
        QTest::mouseClick(dlg.HelpIcon(), Qt::LeftButton);
        dlg.PostClose();
    });
    ASSERT_EQ(m_launched.size(), 1u);
    EXPECT_EQ(m_launched[0], SupportPageUrl(HELP_PAGE_MAIN));
    EXPECT_EQ(theApp.nExitCode.load(), 0u);
    EXPECT_EQ(m_nSpoolerStarts, 1);
}

// The keyboard starts on Select once the update files are loaded; Tab reaches the help
// icon, which has a name for screen readers and opens the help on Enter (not Select).
TEST_F(GuiTest, FocusIsOnSelectOnceEnabledAndTheHelpIconIsReachedByKeyboard) {
    CFakeDiscovery usb({"USB001\t (ZAQ TP-80)"}, true);
    m_frontEnd.SetDiscovery(0, &usb);
    RunDialog([&](CKelvoDlg& dlg) {
        // The initialisation enables Select while the whole dialog is still disabled.
        ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.isEnabled() && dlg.SelectButton()->isEnabled(); }, 10000));
        // A Select pressed by mistake meets a port list that closes at once.
        dlg.PortList().SetShownHook([](CPortListDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); });
        EXPECT_EQ(dlg.focusWidget(), dlg.SelectButton());
        EXPECT_EQ(dlg.HelpIcon()->accessibleName().toStdString(), "Help");
        EXPECT_TRUE(dlg.HelpIcon()->focusPolicy() & Qt::TabFocus);
        QTest::keyClick(dlg.SelectButton(), Qt::Key_Tab);
        EXPECT_EQ(dlg.focusWidget(), dlg.HelpIcon());
        for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
            QTest::keyClick(dlg.focusWidget(), key);
            // Each opens the page once its launch has returned (off the dialog's thread).
            ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.HelpLaunchEnded(); }, 10000));
        }
        dlg.PostClose();
    });
    EXPECT_EQ(m_launched, std::vector<std::string>(2, SupportPageUrl(HELP_PAGE_MAIN)));
    EXPECT_EQ(usb.nCalls, 0);  // Select was not pressed
}

TEST_F(GuiTest, ModelWithoutKindsShowsMessage256AndLeavesSelectDisabled) {
    ModelTable[0].dwInterfaces = 0;
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.isEnabled() && !Boxes().empty(); }, 10000));
        EXPECT_FALSE(dlg.SelectButton()->isEnabled());
        dlg.PostClose();
    });
    auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "No port is specified in configuration file.\n\nErrorCode = [ 050901, 20000490 ]");
}

TEST_F(GuiTest, CancelInThePortListMakesTheDialogReadyAgainWithoutAThread) {
    CFakeDiscovery lan({"127.0.0.9\t [\"KV\", 02:4B:56:00:00:01]"}, false);
    m_frontEnd.SetDiscovery(2, &lan);
    ModelTable[0].dwInterfaces = IF_TCP;
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        dlg.PortList().SetShownHook([](CPortListDlg& d) { QTest::keyClick(&d, Qt::Key_Escape); });
        QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
        EXPECT_TRUE(dlg.SelectButton()->isEnabled());
        EXPECT_TRUE(dlg.Control(IDC_TITLE_TEXT)->isVisible());
        dlg.PostClose();
    });
    EXPECT_EQ(lan.nCalls, 1);
    EXPECT_TRUE(m_workers.Runs().empty());
    EXPECT_TRUE(m_log.Contains("Wait for last thread..."));
}

// Update runs that wait for the test's word; Escape meanwhile is refused with message 229.
TEST_F(GuiTest, CloseDuringAnUpdateIsRefusedWithMessage229AndTheRunGoesOn) {
    CFakeDiscovery lan({"127.0.0.9\t [\"KV\", 02:4B:56:00:00:01]"}, false);
    m_frontEnd.SetDiscovery(2, &lan);
    ModelTable[0].dwInterfaces = IF_TCP;
    Event release;
    Event running;
    m_workers.body = [&](IDialogHost& host, bool) {
        host.SetControlText(IDC_STATUS_TEXT, "status");
        host.SetControlText(IDC_PROGRESS_TEXT, "40%");
        host.SetBusyLayout(true);
        running.Set();
        WaitForEvent(release, INFINITE);
        ShowMessage(MB_ICONINFORMATION, IDOK, "%s", LoadResString(IDS_FW_UPDATE_SUCCEEDED).c_str());
        host.RestoreAfterRun();
    };
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        dlg.PortList().SetShownHook([](CPortListDlg& d) { QTest::mouseClick(d.UpdateButton(), Qt::LeftButton); });
        QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return running.IsSet() && dlg.Control(IDC_STATUS_TEXT)->isVisible(); }, 10000));
        EXPECT_EQ(dlg.Control(IDC_PROGRESS_TEXT)->text().toStdString(), "40%");
        EXPECT_FALSE(dlg.KindButton(2)->isVisible());
        QTest::keyClick(&dlg, Qt::Key_Escape);
        dlg.close();
        EXPECT_TRUE(dlg.isVisible());
        EXPECT_FALSE(theApp.TestFlags(UF_CANCEL));
        release.Set();
        ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.SelectButton()->isEnabled(); }, 10000));
        EXPECT_TRUE(dlg.Control(IDC_TITLE_TEXT)->isVisible());
        dlg.PostClose();
    });
    auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 3u);
    const std::string refusal = "Updating firmware now, please don't quit this software.\n\nErrorCode = [ 050C01, 200010DD ]";
    EXPECT_EQ(boxes[0].text, refusal);
    EXPECT_EQ(boxes[1].text, refusal);
    EXPECT_EQ(boxes[2].text, "Updating firmware successed.");
    auto runs = m_workers.Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].portName, "127.0.0.9");
    EXPECT_EQ(runs[0].nPortKind, static_cast<int>(PORT_KIND_LAN));
}

// The window ends (the session closes) while a run hangs: the run is told to cancel, and
// after the wait the dialog gives it up instead of hanging the program.
TEST_F(GuiTest, WindowEndingWhileARunHangsCancelsAndThenGivesTheRunUp) {
    CFakeDiscovery lan({"127.0.0.9\t [\"KV\", 02:4B:56:00:00:01]"}, false);
    m_frontEnd.SetDiscovery(2, &lan);
    ModelTable[0].dwInterfaces = IF_TCP;
    Event running;
    Event release;
    bool bCancelSeen = false;
    m_workers.body = [&](IDialogHost&, bool) {
        running.Set();
        WaitForEvent(release, INFINITE);
        bCancelSeen = theApp.TestFlags(UF_CANCEL);
    };
    int nAbandoned = 0;
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        dlg.SetDestroyWait(50);
        dlg.SetAbandonHandler([&] { ++nAbandoned; });
        dlg.PortList().SetShownHook([](CPortListDlg& d) { QTest::mouseClick(d.UpdateButton(), Qt::LeftButton); });
        QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return running.IsSet(); }, 10000));
        dlg.done(QDialog::Rejected);
    });
    EXPECT_EQ(nAbandoned, 1);
    EXPECT_TRUE(theApp.TestFlags(UF_CANCEL));
    release.Set();
    m_workers.Wait(INFINITE);
    EXPECT_TRUE(bCancelSeen);
}

TEST_F(GuiTest, RetryRequestStartsASecondRunWithTheSamePortAndTheRetryFlag) {
    CFakeDiscovery usb({"USB001\t (ZAQ KV-T80)"}, true);
    m_frontEnd.SetDiscovery(0, &usb);
    m_workers.body = [](IDialogHost& host, bool bRetry) {
        if (!bRetry) {
            theApp.SetFlags(UF_RETRY_REQUESTED);
            host.PostRetry();
            return;
        }
        host.RestoreAfterRun();
    };
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        dlg.PortList().SetShownHook([](CPortListDlg& d) { QTest::mouseClick(d.UpdateButton(), Qt::LeftButton); });
        QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return m_workers.Runs().size() == 2 && dlg.SelectButton()->isEnabled(); }, 10000));
        dlg.PostClose();
    });
    auto runs = m_workers.Runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_FALSE(runs[0].bRetry);
    EXPECT_TRUE(runs[1].bRetry);
    EXPECT_EQ(runs[1].portName, "USB001");
    EXPECT_TRUE(runs[1].dwFlags & UF_RETRY);
    EXPECT_FALSE(runs[1].dwFlags & UF_RETRY_REQUESTED);
    EXPECT_EQ(usb.nCalls, 1);  // the retry does not ask for the port again
}

// --- silent mode --------------------------------------------------------------------------------

struct SilentCase {
    std::vector<std::string> lines;
    DWORD dwResult;
    int nStatus;
};
class SilentPortList : public GuiTest, public ::testing::WithParamInterface<SilentCase> {};

// A silent run whose port list ends without a port ends at once and says so.
TEST_P(SilentPortList, EndsTheRunWithTheReasonAsResult) {
    const SilentCase& c = GetParam();
    CFakeDiscovery lan(c.lines, false);
    m_frontEnd.SetDiscovery(2, &lan);
    theApp.SetFlags(UF_SILENT);
    theApp.nInitialPortKind = static_cast<int>(PORT_KIND_LAN);
    bool bListShown = false;
    RunDialog([&](CKelvoDlg& dlg) {
        EXPECT_FALSE(dlg.SelectButton()->isVisible());
        EXPECT_FALSE(dlg.Control(IDC_TITLE_TEXT)->isVisible());
        dlg.PortList().SetShownHook([&](CPortListDlg& d) {
            bListShown = true;
            QTest::mouseClick(d.CancelButton(), Qt::LeftButton);
        });
    });
    EXPECT_EQ(bListShown, !c.lines.empty());
    EXPECT_EQ(theApp.nExitCode.load(), c.dwResult);
    EXPECT_EQ(ExitStatusFromResult(theApp.nExitCode), c.nStatus);
    EXPECT_TRUE(m_workers.Runs().empty());
    EXPECT_TRUE(Boxes().empty());  // silently, boxes are only logged
    if (c.lines.empty()) {
        EXPECT_TRUE(m_log.Contains("Showing message is skipped. [No port or printer found."));
    }
}

INSTANTIATE_TEST_SUITE_P(CancelOrNothing, SilentPortList,
                         ::testing::Values(SilentCase{{"127.0.0.9\t [\"KV\", 02:4B:56:00:00:01]"}, ERROR_CANCELLED, 3},
                                           SilentCase{{}, ERROR_DEVICE_NOT_CONNECTED, 1}));

TEST_F(GuiTest, SilentCloseDuringAnUpdateCancelsTheRunWhichThenEndsTheDialog) {
    CFakeDiscovery lan({"127.0.0.9\t [\"KV\", 02:4B:56:00:00:01]"}, false);
    m_frontEnd.SetDiscovery(2, &lan);
    theApp.SetFlags(UF_SILENT);
    theApp.nInitialPortKind = static_cast<int>(PORT_KIND_LAN);
    Event running;
    Event escaped;
    bool bCancelSeen = false;
    m_workers.body = [&](IDialogHost& host, bool) {
        running.Set();
        WaitForEvent(escaped, INFINITE);
        bCancelSeen = theApp.TestFlags(UF_CANCEL);
        theApp.ClearFlags(UF_CANCEL);
        theApp.nExitCode = ERROR_CANCELLED;
        host.RestoreAfterRun();
        host.PostClose();
    };
    RunDialog([&](CKelvoDlg& dlg) {
        dlg.PortList().SetShownHook([&](CPortListDlg& d) {
            QTest::mouseClick(d.UpdateButton(), Qt::LeftButton);
            QTimer::singleShot(0, &dlg, [&] {
                ASSERT_TRUE(QTest::qWaitFor([&] { return running.IsSet(); }, 10000));
                QTest::keyClick(&dlg, Qt::Key_Escape);
                EXPECT_TRUE(dlg.isVisible());
                escaped.Set();
            });
        });
    });
    EXPECT_TRUE(bCancelSeen);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(ExitStatusFromResult(theApp.nExitCode), 3);
    ASSERT_EQ(m_workers.Runs().size(), 1u);
}

// Every way a silent run can go ends the program by itself: nobody is there to close it.
struct SilentEndCase {
    const char* pszName;
    std::function<void(CScriptedWorkers&)> arrange;
    DWORD dwResult;
};
void PrintTo(const SilentEndCase& c, std::ostream* os) { *os << c.pszName; }
class SilentEnds : public GuiTest, public ::testing::WithParamInterface<SilentEndCase> {};

TEST_P(SilentEnds, ByItself) {
    const SilentEndCase& c = GetParam();
    CFakeDiscovery lan({"127.0.0.9\t [\"TP\", 02:00:00:00:00:01]"}, false);
    m_frontEnd.SetDiscovery(2, &lan);
    theApp.SetFlags(UF_SILENT);
    theApp.nInitialPortKind = static_cast<int>(PORT_KIND_LAN);
    c.arrange(m_workers);
    RunDialog([](CKelvoDlg& dlg) {
        dlg.PortList().SetShownHook([](CPortListDlg& d) { QTest::mouseClick(d.UpdateButton(), Qt::LeftButton); });
    });
    m_workers.Wait(INFINITE);
    EXPECT_EQ(theApp.nExitCode.load(), c.dwResult);
    EXPECT_TRUE(Boxes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    EachPath, SilentEnds,
    ::testing::Values(
        SilentEndCase{"initialisation thread not started", [](CScriptedWorkers& w) { w.bInitStartFails = true; },
                      ERROR_NOT_ENOUGH_MEMORY},
        SilentEndCase{"update thread not started", [](CScriptedWorkers& w) { w.bUpdateStartFails = true; },
                      ERROR_NOT_ENOUGH_MEMORY},
        // The run asks for the end, then goes on for longer than the close waits (the
        // help page of a failed retry run).
        SilentEndCase{"run still finishing after its close request",
                      [](CScriptedWorkers& w) {
                          w.body = [](IDialogHost& host, bool) {
                              theApp.nExitCode = ERROR_WRITE_FAULT;
                              host.RestoreAfterRun();
                              host.PostClose();
                              Sleep(10 * CLOSE_WAIT_MS);
                          };
                      },
                      ERROR_WRITE_FAULT},
        // Select arrives while no kind is checked.
        SilentEndCase{"no kind checked at Select",
                      [](CScriptedWorkers& w) { w.initBody = [](IDialogHost& host) { host.PostSelect(); }; },
                      ERROR_INVALID_PRINTER_NAME}));

TEST_F(GuiTest, SilentKindTheModelLacksEndsWithMessage257Logged) {
    ModelTable[0].dwInterfaces = IF_USB;
    theApp.SetFlags(UF_SILENT);
    theApp.nInitialPortKind = static_cast<int>(PORT_KIND_SERIAL);
    RunDialog([](CKelvoDlg&) {});
    EXPECT_EQ(theApp.nExitCode.load(), ERROR_INVALID_PRINTER_NAME);
    EXPECT_TRUE(m_log.Contains("Showing message is skipped. [Specified port is not supported."));
}

// --- signals ------------------------------------------------------------------------------------

// A signal while a run goes on (with the user at the dialog, where Close alone is refused,
// and silently): the run is cancelled and the dialog ends only after it; a second signal
// has the machine restored and then quits, while the run still goes on.
TEST_F(GuiTest, CloseSignalCancelsTheRunAndASecondRestoresTheMachineAndQuits) {
    struct Case {
        bool bSilent;
        int nSignals;
    };
    for (const Case& c : {Case{false, 1}, Case{true, 1}, Case{false, 2}}) {
        SCOPED_TRACE(std::to_string(c.bSilent) + " " + std::to_string(c.nSignals));
        theApp.Reset();
        ModelTable[0].dwInterfaces = IF_TCP;
        CFakeDiscovery lan({"127.0.0.9\t [\"KV\", 02:4B:56:00:00:01]"}, false);
        m_frontEnd.SetDiscovery(2, &lan);
        if (c.bSilent) theApp.SetFlags(UF_SILENT);
        theApp.nInitialPortKind = static_cast<int>(PORT_KIND_LAN);
        m_workers.nRestores = 0;
        const std::size_t nRunsBefore = m_workers.Runs().size();
        Event running;
        Event release;
        std::atomic<bool> bCancelSeen{false}, bRunEnded{false};
        m_workers.body = [&](IDialogHost& host, bool) {
            running.Set();
            while (!theApp.TestFlags(UF_CANCEL)) Sleep(5);
            bCancelSeen = true;
            // The rest of the run (the printer's restart, say) does not heed the cancel.
            WaitForEvent(release, INFINITE);
            theApp.ClearFlags(UF_CANCEL);
            theApp.nExitCode = ERROR_CANCELLED;
            bRunEnded = true;
            host.RestoreAfterRun();
            if (theApp.TestFlags(UF_SILENT)) host.PostClose();
        };
        std::vector<std::string> notices;
        bool bRunEndedAtClose = false, bQuit = false, bOpenAfterFirst = false;
        RunDialog([&](CKelvoDlg& dlg) {
            dlg.SetSignalNotice([&](const std::string& text) { notices.push_back(text); });
            dlg.SetQuitHandler([&] {
                bQuit = true;
                release.Set();  // the process would end here; the test lets the run go
            });
            QObject::connect(&dlg, &QDialog::finished, [&] { bRunEndedAtClose = bRunEnded; });
            dlg.PortList().SetShownHook([&](CPortListDlg& d) {
                QTest::mouseClick(d.UpdateButton(), Qt::LeftButton);
                QTimer::singleShot(0, &dlg, [&] {
                    ASSERT_TRUE(QTest::qWaitFor([&] { return running.IsSet(); }, 10000));
                    dlg.OnCloseSignal(SIGTERM);
                    ASSERT_TRUE(QTest::qWaitFor([&] { return bCancelSeen.load(); }, 10000));
                    QTest::qWait(100);
                    bOpenAfterFirst = dlg.isVisible();
                    if (c.nSignals == 2) {
                        dlg.OnCloseSignal(SIGINT);
                    } else {
                        release.Set();
                    }
                });
            });
            if (!c.bSilent) {
                ASSERT_TRUE(WaitForReady(dlg));
                QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
            }
        });
        EXPECT_TRUE(bCancelSeen);
        EXPECT_TRUE(bOpenAfterFirst);
        EXPECT_TRUE(Boxes().empty());
        EXPECT_EQ(ExitStatusFromResult(theApp.nExitCode), 3);
        ASSERT_FALSE(notices.empty());
        EXPECT_EQ(notices[0], "Signal 15: cancelling the update; the program ends when the run has ended. "
                              "Signal again to quit sooner.");
        if (c.nSignals == 1) {
            EXPECT_TRUE(bRunEndedAtClose);
            EXPECT_FALSE(bQuit);
            EXPECT_EQ(m_workers.nRestores.load(), 0);
            EXPECT_EQ(notices.size(), 1u);
        } else {
            EXPECT_TRUE(bQuit);
            EXPECT_EQ(m_workers.nRestores.load(), 1);
            ASSERT_EQ(notices.size(), 3u);
            EXPECT_EQ(notices[2], "Services started again and serial defaults restored.");
        }
        EXPECT_EQ(m_workers.Runs().size(), nRunsBefore + 1);  // no retry, no second run
        m_workers.body = [](IDialogHost& host, bool) { host.RestoreAfterRun(); };
        m_frontEnd.SetDiscovery(2, nullptr);
    }
}

// With no run going on a signal is a plain close, also over an open port list: nothing
// is cancelled and the machine is left alone; a silent run that had no port yet ends
// as when its port list is cancelled.
TEST_F(GuiTest, CloseSignalWithNoRunClosesTheDialogOverThePortList) {
    for (bool bSilent : {false, true}) {
        SCOPED_TRACE(bSilent);
        theApp.Reset();
        ModelTable[0].dwInterfaces = IF_TCP;
        CFakeDiscovery lan({"127.0.0.9\t [\"KV\", 02:4B:56:00:00:01]"}, false);
        m_frontEnd.SetDiscovery(2, &lan);
        if (bSilent) theApp.SetFlags(UF_SILENT);
        theApp.nInitialPortKind = static_cast<int>(PORT_KIND_LAN);
        std::vector<std::string> notices;
        RunDialog([&](CKelvoDlg& dlg) {
            dlg.SetSignalNotice([&](const std::string& text) { notices.push_back(text); });
            dlg.SetQuitHandler([] { ADD_FAILURE() << "quit with no run"; });
            dlg.PortList().SetShownHook([&](CPortListDlg&) { dlg.OnCloseSignal(SIGHUP); });
            if (!bSilent) {
                ASSERT_TRUE(WaitForReady(dlg));
                QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
            }
        });
        EXPECT_TRUE(m_workers.Runs().empty());
        EXPECT_EQ(m_workers.nRestores.load(), 0);
        EXPECT_EQ(notices, std::vector<std::string>{"Signal 1: closing."});
        EXPECT_EQ(theApp.nExitCode, bSilent ? ERROR_CANCELLED : ERROR_SUCCESS);
        m_frontEnd.SetDiscovery(2, nullptr);
    }
}

// --- message boxes and the second instance -------------------------------------------------

TEST_F(GuiTest, WorkerBoxIsShownOnTheGuiThreadAndTheWorkerGetsTheAnswer) {
    QueueAnswer(IDRETRY);
    int nAnswer = -1;
    std::thread worker([&] {
        nAnswer = ShowErrorEx(MB_RETRYCANCEL, 0x040301, 0x2000000B, IDCANCEL, "%s", "Transfer failed.");
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Boxes().empty(); }, 10000));
    worker.join();
    EXPECT_EQ(nAnswer, IDRETRY);
    EXPECT_EQ(Boxes()[0].text, "Transfer failed.\n\nErrorCode = [ 040301, 2000000B ]");
}

TEST_F(GuiTest, WorkerWaitingForABoxIsLetGoWhenTheWindowEnds) {
    int nAnswer = -1;
    std::thread worker([&] { nAnswer = ShowMessage(MB_OK, IDOK, "%s", "never shown"); });
    // The box is queued for the GUI thread, which does not get to it before the end.
    Deadline deadline(10000);
    while (m_frontEnd.Boxes().Waiting() == 0 && !deadline.Expired()) std::this_thread::yield();
    EXPECT_EQ(m_frontEnd.Boxes().Waiting(), 1);
    m_frontEnd.Boxes().Shutdown();
    worker.join();
    EXPECT_EQ(nAnswer, 0);
    QCoreApplication::processEvents();
    EXPECT_TRUE(Boxes().empty());
    m_frontEnd.Boxes().Reopen();
}

TEST_F(GuiTest, SecondInstanceRaisesTheFirstWindowRestoredWhenMinimised) {
    bool bDelivered = false;
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        dlg.showMinimized();
        ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.isMinimized(); }, 10000));
        std::thread second([&] { bDelivered = CInstanceChannel::AskToRaise(InstanceChannelName()); });
        EXPECT_TRUE(QTest::qWaitFor([&] { return !dlg.isMinimized(); }, 10000));
        EXPECT_EQ(QApplication::activeModalWidget(), &dlg);
        second.join();
        EXPECT_TRUE(dlg.isVisible());
        dlg.PostClose();
    });
    EXPECT_TRUE(bDelivered);
    EXPECT_TRUE(InstanceChannelName().startsWith(QString::fromStdString(m_root.Path())));
    EXPECT_FALSE(CInstanceChannel::AskToRaise(InstanceChannelName(), {}, 500));  // closed with the window
}

// What the user must deal with comes forward: the open port list or message box, not the
// main dialog behind it.
struct ModalCase {
    const char* pszName;
    bool bPortList;  // else a message box
};
void PrintTo(const ModalCase& c, std::ostream* os) { *os << c.pszName; }
class RaiseModal : public GuiTest, public ::testing::WithParamInterface<ModalCase> {};

TEST_P(RaiseModal, SecondInstanceBringsTheTopmostModalWindowForward) {
    const ModalCase& c = GetParam();
    CFakeDiscovery usb({"USB001\t (ZAQ TP-80)"}, true);
    m_frontEnd.SetDiscovery(0, &usb);
    bool bRestored = false;
    bool bDelivered = false;
    auto raiseWhileOpen = [&](QWidget* pModal) {
        ASSERT_EQ(QApplication::activeModalWidget(), pModal);
        pModal->showMinimized();
        ASSERT_TRUE(QTest::qWaitFor([&] { return pModal->isMinimized(); }, 10000));
        std::thread second([&] { bDelivered = CInstanceChannel::AskToRaise(InstanceChannelName(), "tok"); });
        bRestored = QTest::qWaitFor([&] { return !pModal->isMinimized(); }, 10000);
        second.join();
        EXPECT_TRUE(pModal->isVisible());
        // Nothing but the plugin that uses it may keep the token: offscreen, none is set.
        EXPECT_FALSE(qEnvironmentVariableIsSet("XDG_ACTIVATION_TOKEN"));
    };
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        if (c.bPortList) {
            dlg.PortList().SetShownHook([&](CPortListDlg& d) {
                raiseWhileOpen(&d);
                QTest::keyClick(&d, Qt::Key_Escape);
            });
            QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
        } else {
            QMessageBox box(QMessageBox::Information, "", "a box", QMessageBox::Ok, &dlg);
            QTimer::singleShot(0, &box, [&] {
                raiseWhileOpen(&box);
                box.accept();
            });
            box.exec();
        }
        dlg.PostClose();
    });
    EXPECT_TRUE(bDelivered);
    EXPECT_TRUE(bRestored);
}

INSTANTIATE_TEST_SUITE_P(EachModal, RaiseModal,
                         ::testing::Values(ModalCase{"port list", true}, ModalCase{"message box", false}));

// The second start hands its activation token over; only a plain token travels.
TEST_F(GuiTest, SecondInstanceHandsItsActivationTokenOver) {
    CInstanceChannel channel;
    std::vector<std::string> tokens;
    ASSERT_TRUE(channel.Listen(InstanceChannelName(), [&](const QString& token) { tokens.push_back(token.toStdString()); }));
    auto ask = [&](std::function<void()> second) {
        const std::size_t nBefore = tokens.size();
        std::thread t(std::move(second));
        EXPECT_TRUE(QTest::qWaitFor([&] { return tokens.size() > nBefore; }, 10000));
        t.join();
    };
    ::setenv("XDG_ACTIVATION_TOKEN", "kwin-42_ab.c", 1);
    ask([&] { m_frontEnd.RaiseFirstInstance(); });
    ::unsetenv("XDG_ACTIVATION_TOKEN");
    ask([&] { m_frontEnd.RaiseFirstInstance(); });
    ask([] { CInstanceChannel::AskToRaise(InstanceChannelName(), "two words"); });
    ask([] { CInstanceChannel::AskToRaise(InstanceChannelName(), QString(5000, 'x')); });
    ask([] { CInstanceChannel::AskToRaise(InstanceChannelName(), QString::fromUtf8("\u30c8\u30fc\u30af\u30f3")); });
    EXPECT_EQ(tokens, (std::vector<std::string>{"kwin-42_ab.c", "", "", "", ""}));
    channel.Close();
}

// --- Japanese ---------------------------------------------------------------------------------------

TEST_F(GuiTest, JapaneseUserGetsJapaneseTexts) {
    ::setenv("LANG", "ja_JP.UTF-8", 1);
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        EXPECT_EQ(dlg.Control(IDC_TITLE_TEXT)->text().toStdString(), "ファームウェアをアップデートします");
        EXPECT_EQ(dlg.SelectButton()->text().toStdString(), "選択(&S)");
        EXPECT_EQ(dlg.KindButton(2)->text().toStdString(), "イーサネット");
        EXPECT_EQ(dlg.HelpIcon()->toolTip().toStdString(), "ヘルプ");
        EXPECT_EQ(dlg.HelpIcon()->accessibleName().toStdString(), "ヘルプ");
        dlg.PostClose();
    });
    // The font shows the characters; Qt's own buttons speak Japanese too when installed.
    SetUpUiLanguage(*qApp);
    EXPECT_TRUE(QFontMetrics(qApp->font()).inFontUcs4(U'選'));
    QMessageBox box(QMessageBox::Critical, "", "", QMessageBox::Retry | QMessageBox::Cancel);
    if (QFile::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath) + "/qtbase_ja.qm")) {
        EXPECT_EQ(box.button(QMessageBox::Cancel)->text().toStdString(), "キャンセル");
    }
}

}  // namespace

int RunScreenshots(const QString& dir);

int main(int argc, char** argv) {
    // KELVO_SCREENSHOTS=<folder>: no tests, the dialogs' pictures instead.
    const char* pszShots = std::getenv("KELVO_SCREENSHOTS");
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    if (pszShots != nullptr && pszShots[0] != '\0') {
        SetUpUiLanguage(app);
        return RunScreenshots(QString::fromLocal8Bit(pszShots));
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
