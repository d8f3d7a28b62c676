// Screenshot mode of the GUI test program (scripts/screenshots): the real dialogs, driven
// through a model, a port list, a run and its result, each captured as a PNG.
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include "gui/GuiFixture.h"

namespace {

bool Save(QWidget& widget, const QString& dir, const char* pszName) {
    const QString path = dir + "/" + pszName + ".png";
    const bool bSaved = widget.grab().save(path);
    std::fprintf(stderr, "%s %s\n", bSaved ? "wrote" : "FAILED", path.toLocal8Bit().constData());
    return bSaved;
}

}  // namespace

int RunScreenshots(const QString& dir) {
    QDir().mkpath(dir);
    theApp.Reset();
    ResetModelTable(ModelTable);
    ModelTable[5].pszModelName = "KV-T82";
    ModelTable[5].dwInterfaces = IF_USB | IF_TCP | IF_COM;
    ModelTable[5].dwOptions = OPT_ETHERNET_OR_WIRELESS_LAN;
    theApp.nTypeId = 5;
    SetSilentModeQuery(nullptr);

    CScriptedWorkers workers;
    CKelvoFrontEnd frontEnd(&workers);
    SetMessageBox(&frontEnd);
    CFakeDiscovery lan({"192.168.10.31\t [\"KV-T82\", 02:4B:56:0A:1F:03]",
                        "192.168.10.47\t [\"KV-T82\", 02:4B:56:0A:22:9C]"},
                       false);
    frontEnd.SetDiscovery(PORT_KIND_LAN, &lan);
    int nSaved = 0;
    Event release;
    frontEnd.Boxes().SetHook([&](QMessageBox& box) {
        QTimer::singleShot(0, &box, [&] {
            nSaved += Save(box, dir, "result-box");
            box.accept();
        });
        return -1;
    });
    workers.body = [&](IDialogHost& host, bool) {
        host.SetControlText(IDC_STATUS_TEXT, LoadResString(IDS_UPDATING_FIRMWARE));
        host.SetControlText(IDC_PROGRESS_TEXT, "Sending... [ 45%]");
        host.SetBusyLayout(true);
        WaitForEvent(release, INFINITE);
        ShowMessage(MB_ICONINFORMATION, IDOK, LoadResString(IDS_FW_UPDATE_SUCCEEDED_VERSION).c_str(), "Ver 2.05 ZAQ");
        host.RestoreAfterRun();
    };
    frontEnd.SetDialogHook([&](CKelvoDlg& dlg) {
        dlg.SetSpoolerStart({});
        dlg.SetUrlLauncher({});
        QTimer::singleShot(0, &dlg, [&] {
            if (!WaitForReady(dlg)) return dlg.done(0);
            UpdateCaption(dlg);
            QTest::qWait(200);
            nSaved += Save(dlg, dir, "main-selection");
            dlg.KindButton(PORT_KIND_LAN)->setChecked(true);
            dlg.PortList().SetShownHook([&](CPortListDlg& list) {
                QTest::qWait(200);
                nSaved += Save(list, dir, "port-list");
                QTest::mouseClick(list.UpdateButton(), Qt::LeftButton);
            });
            QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
            if (QTest::qWaitFor([&] { return dlg.Control(IDC_PROGRESS_TEXT)->isVisible(); }, 10000)) {
                QTest::qWait(200);
                nSaved += Save(dlg, dir, "main-busy");
            }
            release.Set();
            if (!QTest::qWaitFor([&] { return dlg.SelectButton()->isEnabled(); }, 10000)) std::fprintf(stderr, "run did not end\n");
            dlg.PostClose();
        });
    });
    frontEnd.RunMainWindow(theApp);
    SetMessageBox(nullptr);
    theApp.Reset();
    ResetModelTable(ModelTable);
    return nSaved == 4 ? 0 : 1;
}
