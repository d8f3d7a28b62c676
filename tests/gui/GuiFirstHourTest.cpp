// What a new user meets in the desktop dialogs: the update folder chooser, a typed LAN
// address, the progress bar, texts that fit the window in both languages, preselections,
// and the ends that leave a worker behind.
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>

#include <filesystem>

#include "app/UpdateFolder.h"
#include "engine/Settings.h"
#include "gui/GuiFixture.h"
#include "support/TempDir.h"
#include "ui/Launch.h"

namespace {

// --- the update folder --------------------------------------------------------------------

TEST(DesktopArgs, HelpVersionAndOneFolderAreTakenTheCommandLineWordsStay) {
    struct Case {
        std::vector<const char*> argv;
        bool bHelp, bVersion;
        std::string folder;
        std::vector<std::string> rest;
    };
    const Case cases[] = {
        {{"kelvo"}, false, false, "", {"kelvo"}},
        {{"kelvo", "--help"}, true, false, "", {"kelvo"}},
        {{"kelvo", "-V"}, false, true, "", {"kelvo"}},
        {{"kelvo", "/path/to/update", "/s", "Ethernet"}, false, false, "/path/to/update", {"kelvo", "/s", "Ethernet"}},
        {{"kelvo", "usb", "updates"}, false, false, "updates", {"kelvo", "usb"}},
        {{"kelvo", "a", "b"}, false, false, "a", {"kelvo", "b"}},
        {{"kelvo", "--", "--help"}, false, false, "--help", {"kelvo"}},
    };
    for (const Case& c : cases) {
        std::vector<char*> argv;
        for (const char* psz : c.argv) argv.push_back(const_cast<char*>(psz));
        const DesktopArgs args = ParseDesktopArgs(static_cast<int>(argv.size()), argv.data());
        SCOPED_TRACE(c.argv.size() > 1 ? c.argv[1] : "");
        EXPECT_EQ(args.bHelp, c.bHelp);
        EXPECT_EQ(args.bVersion, c.bVersion);
        EXPECT_EQ(args.folder, c.folder);
        std::vector<std::string> rest(args.rest.begin(), args.rest.end());
        EXPECT_EQ(rest, c.rest);
    }
}

// The chooser refuses a folder without config.ini with a message and asks again; the
// folder that has one is the answer. Cancel gives nothing.
TEST_F(GuiTest, FolderChooserAsksUntilTheFolderHoldsAConfigIni) {
    TempDir dirs;
    std::filesystem::create_directories(dirs / "empty");
    std::filesystem::create_directories(dirs / "update");
    dirs.Write("update/config.ini", "1,\"a\",M,1,0\n");
    EXPECT_FALSE(HasUsableConfig(dirs / "empty"));
    EXPECT_TRUE(HasUsableConfig(dirs / "update"));

    std::vector<std::string> starts;
    int nShown = 0;
    std::optional<std::string> chosen = ChooseUpdateFolder(nullptr, QString::fromStdString(dirs / "empty"), [&](QFileDialog& d) {
        starts.push_back(d.directory().absolutePath().toStdString());
        EXPECT_EQ(d.windowTitle().toStdString(), LoadResString(IDS_CHOOSE_UPDATE_FOLDER));
        EXPECT_EQ(d.fileMode(), QFileDialog::Directory);
        const std::string pick = nShown++ == 0 ? dirs / "empty" : dirs / "update";
        QTimer::singleShot(0, &d, [&d, pick] {
            d.setDirectory(QString::fromStdString(pick));
            static_cast<QDialog&>(d).accept();  // the chooser's own accept: it checks the folder
        });
    });
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(*chosen, dirs / "update");
    EXPECT_EQ(starts, (std::vector<std::string>{dirs / "empty", dirs / "empty"}));
    auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "The folder " + (dirs / "empty") +
                                 " holds no config.ini.\nChoose the folder that holds config.ini and the update files "
                                 "(FW*.bin, ...).");

    chosen = ChooseUpdateFolder(nullptr, QString::fromStdString(dirs / "update"), [](QFileDialog& d) {
        QTimer::singleShot(0, &d, [&d] { static_cast<QDialog&>(d).reject(); });
    });
    EXPECT_FALSE(chosen.has_value());
}

// --- the typed LAN address ----------------------------------------------------------------

// A typed address is checked; a good one becomes a line of its own beside the discovered
// printers, is chosen with Update and remembered; the next run offers it again.
TEST_F(GuiTest, TypedLanAddressIsCheckedListedChosenAndRemembered) {
    std::shared_ptr<ComConfigRecord> slot;
    CPortListDlg dlg(&slot);
    std::string target;
    DWORD dwIpAddr = 0;
    dlg.SetAddressMemory(&target, &dwIpAddr);
    CFakeDiscovery lan({"192.168.0.20\t [\"KV-T80\", 02:4B:56:00:00:01]"}, false);
    dlg.SetShownHook([&](CPortListDlg& d) {
        EXPECT_TRUE(d.AddressField()->isVisible());
        EXPECT_EQ(d.AddressLabel()->text().toStdString(), "Or type the printer's IPv4 address:");
        EXPECT_TRUE(d.AddressField()->text().isEmpty());
        // Enter in the field adds, it does not press Update.
        QTest::keyClicks(d.AddressField(), "10.0.0.256");
        QTest::keyClick(d.AddressField(), Qt::Key_Return);
        EXPECT_TRUE(d.isVisible());
        EXPECT_EQ(d.List()->count(), 1);
        d.AddressField()->setText(" 10.0.0.7 ");
        QTest::keyClick(d.AddressField(), Qt::Key_Enter);
        ASSERT_EQ(d.List()->count(), 2);
        EXPECT_EQ(d.List()->item(1)->text().toStdString(), "10.0.0.7\t [typed address]");
        EXPECT_EQ(d.List()->currentRow(), 1);
        // The address of a discovered printer selects its line instead of adding one.
        d.AddressField()->setText("192.168.0.20");
        QTest::mouseClick(d.AddButton(), Qt::LeftButton);
        EXPECT_EQ(d.List()->count(), 2);
        EXPECT_EQ(d.List()->currentRow(), 0);
        d.AddressField()->setText("10.0.0.7");
        QTest::mouseClick(d.AddButton(), Qt::LeftButton);
        EXPECT_EQ(d.List()->currentRow(), 1);
        QTest::mouseClick(d.UpdateButton(), Qt::LeftButton);
    });
    std::string name;
    EXPECT_EQ(dlg.Run(PORT_KIND_LAN, &lan, &name), IDOK);
    EXPECT_EQ(name, "10.0.0.7");
    EXPECT_EQ(target, "10.0.0.7");
    EXPECT_EQ(dwIpAddr, 0x0A000007u);
    auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "\"10.0.0.256\" is not an IPv4 address.\nType four numbers from 0 to 255 separated by "
                             "dots, such as 192.168.0.10.");

    // Next time: offered in the field; a discovered printer chosen leaves the memory alone.
    dlg.SetShownHook([&](CPortListDlg& d) {
        EXPECT_EQ(d.AddressField()->text().toStdString(), "10.0.0.7");
        QTest::mouseClick(d.UpdateButton(), Qt::LeftButton);
    });
    EXPECT_EQ(dlg.Run(PORT_KIND_LAN, &lan, &name), IDOK);
    EXPECT_EQ(name, "192.168.0.20");
    EXPECT_EQ(target, "10.0.0.7");
    // Other kinds have no address row.
    CFakeDiscovery usb({"USB001\t (ZAQ KV-T80)"}, true);
    dlg.SetShownHook([&](CPortListDlg& d) {
        EXPECT_FALSE(d.AddressField()->isVisible());
        QTest::mouseClick(d.UpdateButton(), Qt::LeftButton);
    });
    EXPECT_EQ(dlg.Run(PORT_KIND_USB, &usb, &name), IDOK);
}

// Discovery finds nothing (another subnet, broadcasts blocked): the message comes as
// before, then the list opens for the address; silently the run ends as before.
TEST_F(GuiTest, LanWithNothingFoundStillTakesATypedAddress) {
    std::shared_ptr<ComConfigRecord> slot;
    CPortListDlg dlg(&slot);
    std::string target;
    DWORD dwIpAddr = 0xC0A80A07;  // 192.168.10.7, as an older start stored it
    dlg.SetAddressMemory(&target, &dwIpAddr);
    CFakeDiscovery none({}, false);
    bool bShown = false;
    dlg.SetShownHook([&](CPortListDlg& d) {
        bShown = true;
        EXPECT_FALSE(d.UpdateButton()->isEnabled());
        EXPECT_EQ(d.AddressField()->text().toStdString(), "192.168.10.7");
        QTest::keyClick(d.AddressField(), Qt::Key_Return);
        EXPECT_TRUE(d.UpdateButton()->isEnabled());
        QTest::mouseClick(d.UpdateButton(), Qt::LeftButton);
    });
    std::string name;
    EXPECT_EQ(dlg.Run(PORT_KIND_LAN, &none, &name), IDOK);
    EXPECT_TRUE(bShown);
    EXPECT_EQ(name, "192.168.10.7");
    EXPECT_EQ(target, "192.168.10.7");
    auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "No port or printer found.\n\nErrorCode = [ 070401, 200010DF ]");

    theApp.SetFlags(UF_SILENT);
    bShown = false;
    EXPECT_EQ(dlg.Run(PORT_KIND_LAN, &none, &name), IDCANCEL);
    EXPECT_FALSE(bShown);
}

// --- preselection ---------------------------------------------------------------------------

// The only serial port is chosen already (its record made); with two the user picks.
TEST_F(GuiTest, SingleSerialPortIsPreselectedWithItsRecord) {
    std::shared_ptr<ComConfigRecord> slot;
    CPortListDlg dlg(&slot);
    CFakeDiscovery one({"ttyUSB0\t"}, true);
    dlg.SetShownHook([&](CPortListDlg& d) {
        EXPECT_EQ(d.List()->currentRow(), 0);
        EXPECT_TRUE(d.UpdateButton()->isEnabled());
        EXPECT_TRUE(d.SettingsButton()->isEnabled());
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot->pszPortName, "ttyUSB0");
        QTest::keyClick(&d, Qt::Key_Return);
    });
    std::string name;
    EXPECT_EQ(dlg.Run(PORT_KIND_SERIAL, &one, &name), IDOK);
    EXPECT_EQ(name, "ttyUSB0");
}

// The kind chosen last (the settings) is checked at the next start when the model offers
// it; Select records the kind chosen now.
TEST_F(GuiTest, LastKindIsPreselectedWhenTheModelOffersIt) {
    struct Case {
        int nLast;
        DWORD dwInterfaces;
        int nChecked;
    };
    for (const Case& c : {Case{3, IF_USB | IF_COM, 3}, Case{1, IF_USB | IF_COM, 0}, Case{-1, IF_TCP | IF_COM, 2}}) {
        SCOPED_TRACE(c.nLast);
        theApp.Reset();
        theApp.nLastPortKind = c.nLast;
        ModelTable[0].dwInterfaces = c.dwInterfaces;
        RunDialog([&](CKelvoDlg& dlg) {
            ASSERT_TRUE(WaitForReady(dlg));
            EXPECT_TRUE(dlg.KindButton(c.nChecked)->isChecked());
            dlg.PostClose();
        });
    }
    CFakeDiscovery serial({"ttyS0\t", "ttyS1\t"}, true);
    m_frontEnd.SetDiscovery(3, &serial);
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        dlg.KindButton(3)->setChecked(true);
        dlg.PortList().SetShownHook([](CPortListDlg& d) { d.reject(); });
        QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
        dlg.PostClose();
    });
    EXPECT_EQ(theApp.nLastPortKind, 3);
}

// --- the busy layout -------------------------------------------------------------------------

struct LayoutCase {
    const char* pszLang;
    const char* pszFont;  // the font the program sets for the language (empty: Qt's)
};
class BusyLayout : public GuiTest, public ::testing::WithParamInterface<LayoutCase> {};

// The progress text stays as the engine wrote it; a bar under it shows the percentage.
// Every text shows whole, each line unbroken, inside the window, and nothing overlaps.
TEST_P(BusyLayout, ProgressBarUnderTheTextAndEveryTextWholeInsideTheWindow) {
    ::setenv("LANG", GetParam().pszLang, 1);
    const QFont appFont = qApp->font();
    if (GetParam().pszFont[0] != '\0') {
        QFont font(GetParam().pszFont);
        font.setPointSize(9);
        qApp->setFont(font);
    }
    ModelTable[0].dwInterfaces = IF_USB;
    CFakeDiscovery usb({"USB001\t (ZAQ KV-T80)"}, true);
    m_frontEnd.SetDiscovery(0, &usb);
    Event shown, release;
    m_workers.body = [&](IDialogHost& host, bool) {
        host.SetControlText(IDC_STATUS_TEXT, LoadResString(IDS_UPDATING_FIRMWARE));
        host.SetControlText(IDC_PROGRESS_TEXT, "Sending... [ 48%]");
        host.SetBusyLayout(true);
        shown.Set();
        WaitForEvent(release, INFINITE);
        host.SetControlText(IDC_PROGRESS_TEXT, "");
        host.RestoreAfterRun();
    };
    auto inside = [](QWidget& dlg, QWidget* p) { return dlg.rect().contains(p->geometry()); };
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        // The selection layout: every text whole and inside.
        for (QLabel* p : {dlg.Control(IDC_TITLE_TEXT), dlg.Control(IDC_DESTINATION_TEXT)}) {
            EXPECT_FALSE(p->wordWrap());
            EXPECT_GE(p->width(), p->sizeHint().width()) << p->text().toStdString();
            EXPECT_TRUE(inside(dlg, p)) << p->text().toStdString();
            EXPECT_LE(p->x() + p->sizeHint().width(), dlg.HelpIcon()->x());
        }
        for (int i = 0; i < 4; ++i) EXPECT_GE(dlg.KindButton(i)->width(), dlg.KindButton(i)->sizeHint().width());
        dlg.PortList().SetShownHook([](CPortListDlg& d) { QTest::mouseClick(d.UpdateButton(), Qt::LeftButton); });
        QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return shown.IsSet() && dlg.ProgressBar()->isVisible(); }, 10000));
        QLabel* pStatus = dlg.Control(IDC_STATUS_TEXT);
        QLabel* pProgress = dlg.Control(IDC_PROGRESS_TEXT);
        EXPECT_EQ(pProgress->text().toStdString(), "Sending... [ 48%]");
        EXPECT_EQ(dlg.ProgressBar()->value(), 48);
        EXPECT_FALSE(pStatus->wordWrap());
        EXPECT_EQ(pStatus->text().toStdString(), LoadResString(IDS_UPDATING_FIRMWARE));
        EXPECT_GE(pStatus->width(), pStatus->sizeHint().width());
        EXPECT_GE(pStatus->height(), pStatus->sizeHint().height());
        EXPECT_LE(pStatus->x() + pStatus->sizeHint().width(), dlg.HelpIcon()->x());
        const int nStatusBottom = pStatus->y() + pStatus->sizeHint().height();
        const int nProgressBottom = pProgress->y() + pProgress->sizeHint().height();
        EXPECT_GE(pProgress->y(), nStatusBottom);
        EXPECT_GE(dlg.ProgressBar()->y(), nProgressBottom);
        EXPECT_GT(dlg.SelectButton()->y(), dlg.ProgressBar()->geometry().bottom());
        for (QWidget* p : {static_cast<QWidget*>(pStatus), static_cast<QWidget*>(pProgress),
                           static_cast<QWidget*>(dlg.ProgressBar()), static_cast<QWidget*>(dlg.SelectButton())}) {
            EXPECT_TRUE(inside(dlg, p)) << p->metaObject()->className();
        }
        release.Set();
        ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.SelectButton()->isEnabled(); }, 10000));
        EXPECT_FALSE(dlg.ProgressBar()->isVisible());
        dlg.PostClose();
    });
    qApp->setFont(appFont);
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, BusyLayout,
                         ::testing::Values(LayoutCase{"C.UTF-8", ""}, LayoutCase{"ja_JP.UTF-8", "Noto Sans CJK JP"}));

// --- the step under the progress text, and a LAN search that finds nothing --------------------

// The texts a user of each language reads; the engine's own texts and boxes stay as they are.
struct LanguageCase {
    const char* pszLang;
    const char* pszFont;  // the font the program sets for the language
    const char* pszFirmware;
    const char* pszRestart21;
    const char* pszRestart9;
    const char* pszCheckFirmware;
    const char* pszFontData;
    const char* pszCheckFontData;
    const char* pszNoPortFound;
    const char* pszNoPrinterAnswered;
};
const LanguageCase kEnglish = {
    "C.UTF-8", "",
    "Firmware FW2007SIM.bin",
    "Waiting for the printer to restart (up to 21 s)",
    "Waiting for the printer to restart (up to 9 s)",
    "Checking the new firmware",
    "Font data KF20SIM.bin",
    "Checking the font data",
    "No port or printer found.\n\nErrorCode = [ 070401, 200010DF ]",
    "No printer answered the search. Type the printer's IPv4 address:",
};
const LanguageCase kJapanese = {
    "ja_JP.UTF-8", "Noto Sans CJK JP",
    "ファームウェア FW2007SIM.bin",
    "プリンターの再起動を待っています (最大21秒)",
    "プリンターの再起動を待っています (最大9秒)",
    "新しいファームウェアを確認しています",
    "フォントデータ KF20SIM.bin",
    "フォントデータを確認しています",
    "ポートあるいはプリンターが見つかりません\n\nErrorCode = [ 070401, 200010DF ]",
    "検索に応答したプリンターはありません。プリンターのIPv4アドレスを入力:",
};

class InEachLanguage : public GuiTest, public ::testing::WithParamInterface<LanguageCase> {
protected:
    void SetUp() override {
        GuiTest::SetUp();
        ::setenv("LANG", GetParam().pszLang, 1);
        m_appFont = qApp->font();
        if (GetParam().pszFont[0] != '\0') {
            QFont font(GetParam().pszFont);
            font.setPointSize(9);
            qApp->setFont(font);
        }
    }
    void TearDown() override {
        qApp->setFont(m_appFont);
        GuiTest::TearDown();
    }
    QFont m_appFont;
};

// A firmware and font update as the engine reports it: the engine's progress text stays
// as it is; the line under it names the step, and the bar shows the step's percentage,
// or busy where the printer restarts or checks what it got (never a bar frozen at 100 %).
// The restart wait counts its time left down by itself.
TEST_P(InEachLanguage, StepLineNamesEachStepUnderTheProgressText) {
    const LanguageCase& lang = GetParam();
    const TransferInfo firmware{"FW", "FW2007SIM.bin", 120000, 0, 0};
    const TransferInfo font{"KF", "KF20SIM.bin", 40000, 0, 0};
    struct Step {
        const TransferInfo* pTransfer;  // the engine's transfer under way from this text on
        const char* pszText;
        const char* pszLine;  // null: no step line (and no bar)
        int nBar;             // -1: busy
    };
    const Step script[] = {
        {&firmware, "Sending... [ 40%]", lang.pszFirmware, 40},
        {nullptr, "Sending... [100%]", lang.pszRestart21, -1},
        {nullptr, "Waiting... [ 20%]", lang.pszRestart21, -1},
        {nullptr, "Waiting... [ 50%]", lang.pszRestart21, -1},
        {nullptr, "Waiting... [ 50%]", lang.pszCheckFirmware, -1},
        {nullptr, "Waiting... [100%]", lang.pszCheckFirmware, -1},
        {nullptr, "", nullptr, 0},
        {&font, "Sending... [ 60%]", lang.pszFontData, 60},
        {nullptr, "Sending... [100%]", lang.pszCheckFontData, -1},
    };
    ModelTable[0].dwInterfaces = IF_USB;
    CFakeDiscovery usb({"USB001\t (ZAQ KV-T80)"}, true);
    m_frontEnd.SetDiscovery(0, &usb);
    m_workers.SetWaitLeft(21000);
    Event next(false), done;  // next: one text at a time
    std::atomic<int> nShown{-1};
    m_workers.body = [&](IDialogHost& host, bool) {
        host.SetControlText(IDC_STATUS_TEXT, LoadResString(IDS_UPDATING_FIRMWARE));
        host.SetControlText(IDC_PROGRESS_TEXT, "");
        host.SetBusyLayout(true);
        for (int i = 0; i < static_cast<int>(std::size(script)); ++i) {
            if (script[i].pTransfer != nullptr) m_workers.SetTransfer(*script[i].pTransfer);
            host.SetControlText(IDC_PROGRESS_TEXT, script[i].pszText);
            nShown = i;
            if (WaitForEvent(next, 20000) != WAIT_OBJECT_0) return;
        }
        WaitForEvent(done, 20000);
        host.RestoreAfterRun();
    };
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        dlg.PortList().SetShownHook([](CPortListDlg& d) { QTest::mouseClick(d.UpdateButton(), Qt::LeftButton); });
        QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
        QLabel* pProgress = dlg.Control(IDC_PROGRESS_TEXT);
        QLabel* pLine = dlg.StepLine();
        QProgressBar* pBar = dlg.ProgressBar();
        for (int i = 0; i < static_cast<int>(std::size(script)); ++i) {
            const Step& step = script[i];
            SCOPED_TRACE(std::string("after \"") + step.pszText + "\"");
            ASSERT_TRUE(QTest::qWaitFor([&] { return nShown == i && pProgress->text() == step.pszText; }, 10000));
            QCoreApplication::processEvents();
            if (step.pszLine == nullptr) {
                EXPECT_FALSE(pLine->isVisible());
                EXPECT_FALSE(pBar->isVisible());
            } else {
                EXPECT_TRUE(pLine->isVisible());
                EXPECT_EQ(pLine->text().toStdString(), step.pszLine);
                EXPECT_TRUE(pBar->isVisible());
                if (step.nBar < 0) {
                    EXPECT_EQ(pBar->maximum(), 0) << "busy";
                } else {
                    EXPECT_EQ(pBar->maximum(), 100);
                    EXPECT_EQ(pBar->value(), step.nBar);
                }
                // Text, step line and bar one under the other, each whole and inside.
                EXPECT_GE(pLine->y(), pProgress->y() + pProgress->sizeHint().height());
                EXPECT_GE(pBar->y(), pLine->y() + pLine->sizeHint().height());
                EXPECT_GE(pLine->width(), pLine->sizeHint().width());
                EXPECT_TRUE(dlg.rect().contains(pLine->geometry()));
                EXPECT_TRUE(dlg.rect().contains(pBar->geometry()));
                EXPECT_GT(dlg.SelectButton()->y(), pBar->geometry().bottom());
            }
            if (i == 2) {
                // No new text while the printer restarts: the time left still goes down.
                m_workers.SetWaitLeft(9000);
                EXPECT_TRUE(QTest::qWaitFor([&] { return pLine->text().toStdString() == lang.pszRestart9; }, 10000));
                m_workers.SetWaitLeft(21000);
                EXPECT_TRUE(QTest::qWaitFor([&] { return pLine->text().toStdString() == lang.pszRestart21; }, 10000));
            }
            next.Set();
            ASSERT_TRUE(QTest::qWaitFor([&] { return nShown != i || i + 1 == static_cast<int>(std::size(script)); }, 10000));
        }
        done.Set();
        ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.SelectButton()->isEnabled(); }, 10000));
        EXPECT_FALSE(pLine->isVisible());
        EXPECT_FALSE(pBar->isVisible());
        dlg.PostClose();
    });
}

// A LAN search that finds nothing: the box comes as it always has; then the list opens
// with a line saying no printer answered and that its address can be typed, above the
// address field, which has the focus. The typed address is the run's port.
TEST_P(InEachLanguage, LanSearchWithoutAnswerOpensTheListForATypedAddress) {
    const LanguageCase& lang = GetParam();
    ModelTable[0].dwInterfaces = IF_TCP;
    CFakeDiscovery none({}, false);
    m_frontEnd.SetDiscovery(2, &none);
    bool bShown = false;
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        dlg.PortList().SetShownHook([&](CPortListDlg& d) {
            bShown = true;
            auto boxes = Boxes();
            ASSERT_EQ(boxes.size(), 1u);  // the box came first
            EXPECT_EQ(boxes[0].text, lang.pszNoPortFound);
            EXPECT_EQ(boxes[0].nIcon, QMessageBox::Critical);
            EXPECT_EQ(d.List()->count(), 0);
            EXPECT_FALSE(d.UpdateButton()->isEnabled());
            EXPECT_TRUE(d.AddressLabel()->isVisible());
            EXPECT_EQ(d.AddressLabel()->text().toStdString(), lang.pszNoPrinterAnswered);
            EXPECT_GE(d.AddressLabel()->width(), d.AddressLabel()->sizeHint().width());
            EXPECT_TRUE(d.rect().contains(d.AddressLabel()->geometry()));
            EXPECT_LE(d.AddressLabel()->geometry().bottom(), d.AddressField()->y());
            EXPECT_TRUE(QTest::qWaitFor([&] { return d.AddressField()->hasFocus(); }, 10000));
            // Typing starts at once, without a click into the field.
            QTest::keyClicks(QApplication::focusWidget(), "127.0.0.9");
            QTest::keyClick(d.AddressField(), Qt::Key_Return);
            EXPECT_TRUE(d.UpdateButton()->isEnabled());
            QTest::mouseClick(d.UpdateButton(), Qt::LeftButton);
        });
        QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.SelectButton()->isEnabled(); }, 10000));
        dlg.PostClose();
    });
    EXPECT_TRUE(bShown);
    const auto runs = m_workers.Runs();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].portName, "127.0.0.9");
    EXPECT_EQ(runs[0].nPortKind, 2);
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, InEachLanguage, ::testing::Values(kEnglish, kJapanese),
                         [](const ::testing::TestParamInfo<LanguageCase>& info) {
                             return info.index == 0 ? std::string("English") : std::string("Japanese");
                         });

// --- ends that leave a worker behind -----------------------------------------------------------

// The window ends while a run hangs: after the wait the machine is restored as on a
// second close signal, the settings are written, and the program quits with 1460.
TEST_F(GuiTest, AbandonedRunRestoresTheMachineAndWritesTheSettings) {
    ::setenv("XDG_CONFIG_HOME", (m_root / "config").c_str(), 1);
    theApp.strProgramName = "kelvo-abandon";
    theApp.strTargetName = "10.0.0.7";
    theApp.nIpAddr = 0x0A000007;
    CFakeDiscovery lan({"127.0.0.9\t [\"KV\", 02:4B:56:00:00:01]"}, false);
    m_frontEnd.SetDiscovery(2, &lan);
    ModelTable[0].dwInterfaces = IF_TCP;
    Event running, release;
    m_workers.body = [&](IDialogHost&, bool) {
        running.Set();
        WaitForEvent(release, INFINITE);
    };
    int nQuits = 0;
    int nRestoresAtQuit = -1;
    DWORD dwResultAtQuit = 0;
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        dlg.SetDestroyWait(50);
        dlg.SetAbandonHandler({});  // the program's own
        dlg.SetQuitHandler([&] {
            ++nQuits;
            nRestoresAtQuit = m_workers.nRestores;
            dwResultAtQuit = theApp.nExitCode;
        });
        dlg.PortList().SetShownHook([](CPortListDlg& d) { QTest::mouseClick(d.UpdateButton(), Qt::LeftButton); });
        QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return running.IsSet(); }, 10000));
        dlg.done(QDialog::Rejected);
    });
    release.Set();
    m_workers.Wait(INFINITE);
    EXPECT_EQ(nQuits, 1);
    EXPECT_EQ(nRestoresAtQuit, 1);
    EXPECT_EQ(dwResultAtQuit, static_cast<DWORD>(ERROR_TIMEOUT));
    const KelvoSettings saved = ReadSettings(SettingsFilePath("kelvo-abandon"));
    EXPECT_EQ(saved.strTargetName, "10.0.0.7");
    EXPECT_EQ(saved.nIpAddr, 0x0A000007u);
    EXPECT_EQ(saved.nPortKind, 2);
    EXPECT_TRUE(m_log.Contains("Quitting after the worker was given up"));
    ::unsetenv("XDG_CONFIG_HOME");
}

// The help icon's launch waits for the browser's opener: the dialog goes on meanwhile.
TEST_F(GuiTest, HelpLaunchRunsOffTheDialogsThread) {
    Event entered, release;
    std::atomic<int> nLaunches{0};
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        dlg.SetUrlLauncher([&](const char* pszUrl) {
            EXPECT_EQ(std::string(pszUrl), SupportPageUrl(HELP_PAGE_MAIN));
            ++nLaunches;
            entered.Set();
            WaitForEvent(release, INFINITE);
            return TRUE;
        });
        QTest::mouseClick(dlg.HelpIcon(), Qt::LeftButton);
        // Back here while the launch still waits: the click did not block.
        ASSERT_TRUE(QTest::qWaitFor([&] { return entered.IsSet(); }, 10000));
        EXPECT_FALSE(dlg.HelpLaunchEnded());
        QTest::mouseClick(dlg.HelpIcon(), Qt::LeftButton);  // still starting: nothing more
        release.Set();
        ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.HelpLaunchEnded(); }, 10000));
        dlg.PostClose();
    });
    EXPECT_EQ(nLaunches.load(), 1);
}

// A port name the run could only cut (to another port, maybe) is refused with a message
// before any run starts.
TEST_F(GuiTest, OverLongPortNameGetsAMessageAndNoRun) {
    const std::string longName = "/dev/serial/by-id/" + std::string(120, 'x');
    CFakeDiscovery serial({longName + "\t"}, true);
    m_frontEnd.SetDiscovery(3, &serial);
    ModelTable[0].dwInterfaces = IF_COM;
    RunDialog([&](CKelvoDlg& dlg) {
        ASSERT_TRUE(WaitForReady(dlg));
        dlg.PortList().SetShownHook([](CPortListDlg& d) { QTest::mouseClick(d.UpdateButton(), Qt::LeftButton); });
        QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.SelectButton()->isEnabled(); }, 10000));
        dlg.PostClose();
    });
    EXPECT_TRUE(m_workers.Runs().empty());
    auto boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "The port name is too long (138 characters; at most 127):\n" + longName);
    EXPECT_EQ(boxes[0].nIcon, QMessageBox::Critical);
}

}  // namespace
