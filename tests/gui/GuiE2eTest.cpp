// A whole update from the desktop dialog against the simulated printer.
#include "gui/GuiE2eFixture.h"

#include <algorithm>

namespace {

TEST_F(GuiE2e, SelectUpdatesThePrinterAndShowsTheSuccessBox) {
    sim::MadeFile fw = MakeFirmware(0x07, 20000);
    StartPrinter(0x05);
    SelectAndUpdate(60000);

    EXPECT_EQ(m_caption, "ZAQ Kelvo [ SIM-34 ]");
    EXPECT_TRUE(m_bLanChecked);
    ExpectFirmwareUpdated(PORT_KIND_LAN, fw);
    EXPECT_EQ(theApp.szPortName, m_szAddress);
}

// The stretches the engine's progress text does not name: the restart wait, which says how
// long it may still take, and the check of the font data after its last byte (at least the
// printer's 3 s to store it: seen by a line sampled every few milliseconds).
TEST_F(GuiE2e, StepLineNamesTheRestartWaitAndTheFontCheck) {
    MakeFirmware(0x07, 20000);
    MakeFile("KF", 0, 9000);
    ModelTable[kTypeId].dwDataKinds |= DK_KANJI_FONT;
    StartPrinter(0x05);
    std::vector<std::string> lines;  // each line the dialog showed, in order
    m_onDialog = [&lines](CKelvoDlg& dlg) {
        auto* pSample = new QTimer(&dlg);
        QObject::connect(pSample, &QTimer::timeout, &dlg, [&lines, &dlg] {
            if (!dlg.StepLine()->isVisible()) return;
            const std::string line = dlg.StepLine()->text().toStdString();
            if (lines.empty() || lines.back() != line) lines.push_back(line);
        });
        pSample->start(5);
    };
    SelectAndUpdate(60000);
    EXPECT_EQ(theApp.nExitCode.load(), 0u);
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
    std::string all;
    for (const std::string& line : lines) all += line + "\n";
    auto first = [&](auto pred) { return std::find_if(lines.begin(), lines.end(), pred) - lines.begin(); };
    const auto nRestart = first([](const std::string& l) {
        return l.starts_with("Waiting for the printer to restart (up to ") && l.ends_with(" s)");
    });
    const auto nCheck = first([](const std::string& l) { return l == "Checking the font data"; });
    EXPECT_LT(nRestart, static_cast<long>(lines.size())) << all;
    EXPECT_LT(nCheck, static_cast<long>(lines.size())) << all;
    EXPECT_LT(nRestart, nCheck) << all;
}

TEST_F(GuiE2e, SilentRunEndsByItselfWithTheResultAsExitStatus) {
    MakeFirmware(0x07, 20000);
    StartPrinter(0x07);  // already current
    theApp.SetFlags(UF_SILENT);
    theApp.nInitialPortKind = static_cast<int>(PORT_KIND_LAN);
    bool bListShown = false;
    m_frontEnd.SetDialogHook([&](CKelvoDlg& dlg) {
        dlg.SetSpoolerStart({});
        dlg.PortList().SetShownHook([&](CPortListDlg& d) {
            bListShown = true;
            QTest::mouseClick(d.UpdateButton(), Qt::LeftButton);
        });
    });
    m_frontEnd.RunMainWindow(theApp);

    EXPECT_TRUE(bListShown);
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(theApp.nExitCode.load(), ERROR_ALREADY_REGISTERED);
    EXPECT_EQ(ExitStatusFromResult(theApp.nExitCode), 2);
}

// The record the port list makes for a serial line is the one the update run reads.
TEST_F(GuiE2e, SerialLineRecordGoesToTheApplicationsSlot) {
    MakeFirmware(0x07, 20000);
    ModelTable[kTypeId].dwInterfaces = IF_COM;
    struct : CUtilPort {
        int EnumPorts(IPortList* pList, std::span<std::string>) override {
            pList->Clear();
            pList->AddSorted("ttyS0\t");
            return 1;
        }
    } serial;
    m_frontEnd.SetDiscovery(static_cast<int>(PORT_KIND_SERIAL), &serial);
    std::string seen;
    m_frontEnd.SetDialogHook([&](CKelvoDlg& dlg) {
        dlg.SetSpoolerStart({});
        QTimer::singleShot(0, &dlg, [&] {
            ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.SelectButton()->isEnabled(); }, 10000));
            dlg.PortList().SetShownHook([&](CPortListDlg& d) {
                d.List()->setCurrentRow(0);
                if (theApp.pComConfig) seen = theApp.pComConfig->pszPortName;
                QTest::mouseClick(d.CancelButton(), Qt::LeftButton);
            });
            QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
            dlg.PostClose();
        });
    });
    m_frontEnd.RunMainWindow(theApp);
    EXPECT_EQ(seen, "ttyS0");
    EXPECT_EQ(theApp.pComConfig, nullptr);  // freed with the window
}

}  // namespace

KELVO_GUI_TEST_MAIN()
