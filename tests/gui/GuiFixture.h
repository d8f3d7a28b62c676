#pragma once
// The desktop dialogs under Qt's offscreen platform: scripted worker threads in place of
// the engine's, a discovery that lists given lines, and boxes answered by the test.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/FrontEnd.h"
#include "app/KelvoDlg.h"
#include "app/PortListDlg.h"
#include "app/Workers.h"
#include "config/ConfigFile.h"
#include "discovery/UtilPort.h"
#include "engine/Kelvo.h"
#include "platform/Event.h"
#include "platform/LastError.h"
#include "platform/Thread.h"
#include "platform/WinError.h"
#include "support/LogCapture.h"
#include "ui/StringTable.h"
#include "ui/Util.h"

// Lists the given lines as the kind's discovery would: sorted (USB, serial) or in the
// order found (LAN, Bluetooth).
class CFakeDiscovery : public CUtilPort {
public:
    CFakeDiscovery(std::vector<std::string> lines, bool bSorted) : m_lines(std::move(lines)), m_bSorted(bSorted) {}
    int EnumPorts(IPortList* pList, std::span<std::string>) override {
        ++nCalls;
        pList->Clear();
        for (const std::string& line : m_lines) m_bSorted ? pList->AddSorted(line) : pList->Append(line);
        return static_cast<int>(m_lines.size());
    }
    int nCalls = 0;

private:
    std::vector<std::string> m_lines;
    bool m_bSorted;
};

// The engine's side of the dialog, scripted: the initialisation calls the dialog's kind
// set-up (and silently presses Select); a run calls the test's body on a real thread.
class CScriptedWorkers : public IUpdateWorkers {
public:
    using RunBody = std::function<void(IDialogHost&, bool bRetry)>;

    BOOL StartInitialize(IDialogHost& host, WorkerHooks hooks) override {
        m_thread.WaitForEnd(INFINITE);
        if (bInitStartFails) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        if (initBody) return m_thread.Start([this, &host] { initBody(host); });
        return m_thread.Start([&host, setup = std::move(hooks.setupKinds)] {
            host.EnableDialog(false);
            const bool bOk = setup();
            host.EnableDialog(true);
            if (!bOk) theApp.nExitCode = ERROR_INVALID_PRINTER_NAME;
            if (theApp.TestFlags(UF_SILENT)) bOk ? host.PostSelect() : host.PostClose();
        });
    }
    BOOL StartUpdate(IDialogHost& host, bool bRetry) override {
        m_thread.WaitForEnd(INFINITE);
        if (bRetry) {
            DWORD dwOld = theApp.dwUpdateFlags.load();
            while (!theApp.dwUpdateFlags.compare_exchange_weak(dwOld, (dwOld & ~UF_RETRY_REQUESTED) | UF_RETRY)) {
            }
        } else {
            theApp.ClearFlags(UF_CANCEL | UF_RETRY | UF_RETRY_REQUESTED);
        }
        {
            std::lock_guard lock(m_mutex);
            runs.push_back({theApp.szPortName, theApp.nPortKind, bRetry, theApp.dwUpdateFlags.load()});
        }
        if (bUpdateStartFails) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
        return m_thread.Start([this, &host, bRetry] { body(host, bRetry); });
    }
    DWORD Wait(DWORD dwTimeout) override { return m_thread.WaitForEnd(dwTimeout); }
    void RestoreMachine() override { ++nRestores; }
    TransferInfo TransferUnderWay() override {
        std::lock_guard lock(m_mutex);
        return transfer;
    }
    std::optional<DWORD> WaitLeft() override {
        std::lock_guard lock(m_mutex);
        return waitLeft;
    }
    // What the engine would say: the transfer a body's progress texts belong to, and the
    // time left of the wait it sits out.
    void SetTransfer(TransferInfo info) {
        std::lock_guard lock(m_mutex);
        transfer = std::move(info);
    }
    void SetWaitLeft(std::optional<DWORD> dwMs) {
        std::lock_guard lock(m_mutex);
        waitLeft = dwMs;
    }

    struct Run {
        std::string portName;
        int nPortKind;
        bool bRetry;
        DWORD dwFlags;
    };
    std::vector<Run> Runs() {
        std::lock_guard lock(m_mutex);
        return runs;
    }

    RunBody body = [](IDialogHost& host, bool) { host.RestoreAfterRun(); };
    // In place of the initialisation above (empty: that one).
    std::function<void(IDialogHost&)> initBody;
    // No thread starts: the start fails with ERROR_NOT_ENOUGH_MEMORY.
    bool bInitStartFails = false;
    bool bUpdateStartFails = false;
    std::atomic<int> nRestores{0};  // RestoreMachine calls

private:
    std::mutex m_mutex;
    std::vector<Run> runs;
    TransferInfo transfer;
    std::optional<DWORD> waitLeft;
    Thread m_thread;
};

struct ShownBox {
    std::string text;
    int nIcon;
};

class GuiTest : public ::testing::Test {
protected:
    void SetUp() override {
        theApp.Reset();
        ResetModelTable(ModelTable);
        ::unsetenv("LC_ALL");
        ::unsetenv("LC_MESSAGES");
        ::setenv("LANG", "C.UTF-8", 1);
        // The instance channel goes beside the instance lock: in this test's own folder.
        ::setenv("XDG_RUNTIME_DIR", m_root.Path().c_str(), 1);
        SetMessageBox(&m_frontEnd);
        SetSilentModeQuery([]() noexcept { return theApp.TestFlags(UF_SILENT); });
        m_frontEnd.Boxes().SetHook([this](QMessageBox& box) {
            std::lock_guard lock(m_boxMutex);
            m_boxes.push_back({box.text().toStdString(), static_cast<int>(box.icon())});
            if (m_answers.empty()) return IDOK;
            int nAnswer = m_answers.front();
            m_answers.erase(m_answers.begin());
            return nAnswer;
        });
        for (int nKind = 0; nKind < 4; ++nKind) m_frontEnd.SetDiscovery(nKind, nullptr);
    }
    void TearDown() override {
        ::unsetenv("XDG_RUNTIME_DIR");
        SetMessageBox(nullptr);
        SetSilentModeQuery(nullptr);
        theApp.Reset();
        ResetModelTable(ModelTable);
    }

    std::vector<ShownBox> Boxes() {
        std::lock_guard lock(m_boxMutex);
        return m_boxes;
    }
    void QueueAnswer(int nAnswer) {
        std::lock_guard lock(m_boxMutex);
        m_answers.push_back(nAnswer);
    }
    // Runs the main window; script runs once the dialog's event loop is going.
    void RunDialog(std::function<void(CKelvoDlg&)> script) {
        m_frontEnd.SetDialogHook([this, script](CKelvoDlg& dlg) {
            dlg.SetSilentCloseDelay(0);
            dlg.SetSpoolerStart([this] { ++m_nSpoolerStarts; });
            dlg.SetUrlLauncher([this](const char* pszUrl) {
                m_launched.push_back(pszUrl);
                return TRUE;
            });
            // A dialog that does not end by itself fails the test instead of hanging it.
            dlg.SetDestroyWait(20000);
            dlg.SetAbandonHandler([] { ADD_FAILURE() << "a worker did not end"; });
            QTimer::singleShot(30000, &dlg, [&dlg] {
                ADD_FAILURE() << "the dialog did not end";
                dlg.done(QDialog::Rejected);
            });
            QTimer::singleShot(0, &dlg, [&dlg, script] { script(dlg); });
        });
        m_frontEnd.RunMainWindow(theApp);
    }

    TempDir m_root;
    LogCapture m_log{m_root.Path()};
    CScriptedWorkers m_workers;
    CKelvoFrontEnd m_frontEnd{&m_workers};
    std::mutex m_boxMutex;
    std::vector<ShownBox> m_boxes;
    std::vector<int> m_answers;
    std::vector<std::string> m_launched;
    int m_nSpoolerStarts = 0;
};

// Waits, with the event loop running, until the dialog's initialisation has made Select
// usable (not silent) or has ended.
inline bool WaitForReady(CKelvoDlg& dlg) {
    return QTest::qWaitFor([&] { return dlg.SelectButton()->isEnabled(); }, 10000);
}
