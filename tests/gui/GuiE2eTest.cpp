// A whole update from the desktop dialog against the simulated printer.
#include "gui/GuiE2eFixture.h"

namespace {

TEST_F(GuiE2e, SelectUpdatesThePrinterAndShowsTheSuccessBox) {
    MakeFirmware(0x07, 20000);
    StartPrinter(0x05);
    SelectAndUpdate(60000);

    EXPECT_EQ(m_caption, "ZAQ Kelvo [ SIM-34 ]");
    EXPECT_TRUE(m_bLanChecked);
    EXPECT_EQ(Boxes(), std::vector<std::string>{Succeeded(0x07)});
    EXPECT_EQ(theApp.nExitCode.load(), 0u);
    EXPECT_EQ(theApp.szPortName, m_szAddress);
    EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
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

}  // namespace

KELVO_GUI_TEST_MAIN()
