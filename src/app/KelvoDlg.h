#pragma once
// The main dialog: connection kinds and Select, the busy layout while a run goes on, the
// worker threads' lifecycle; and the About dialog.
#include <QDialog>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/Workers.h"
#include "platform/Thread.h"
#include "platform/Types.h"
#include "ui/DialogHost.h"
#include "ui/ProgressSteps.h"

class QIcon;
class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimer;
class QToolButton;
class CPortListDlg;
class CUtilPort;
struct CKelvoApp;
struct ComConfigRecord;

// The program's icon.
QIcon KelvoIcon();

// Control ids of the main dialog.
inline constexpr int IDC_TITLE_TEXT = 1014;
inline constexpr int IDC_DESTINATION_TEXT = 1016;
inline constexpr int IDC_KIND_USB = 1034;
inline constexpr int IDC_KIND_BLUETOOTH = 1030;
inline constexpr int IDC_KIND_LAN = 1061;
inline constexpr int IDC_KIND_SERIAL = 1033;
inline constexpr int IDC_HELP_ICON = 1019;

// Codes of the dialog's own boxes.
inline constexpr DWORD LOC_NO_KIND = 0x050901;
inline constexpr DWORD LOC_KIND_NOT_OFFERED = 0x050902;
inline constexpr DWORD ERROR_SHOWN_NO_KIND = 0x20000490;
inline constexpr DWORD LOC_CANNOT_QUIT = 0x050C01;
inline constexpr DWORD ERROR_SHOWN_CANNOT_QUIT = 0x200010DD;

// Waits of the dialog.
inline constexpr DWORD CLOSE_WAIT_MS = 100;      // Close: for a worker about to end
inline constexpr DWORD DESTROY_WAIT_MS = 90000;  // end of the window: for any worker
inline constexpr int SILENT_FAILED_CLOSE_MS = 2000;

// The name the first instance's window is known by (with the user id appended).
inline constexpr const char* WINDOW_PROPERTY = "____ZAQ_FW_UPDATE____";

class CAboutDlg : public QDialog {
public:
    explicit CAboutDlg(QWidget* pParent = nullptr);
    // "Kelvo\n for ZAQ Thermal Printers" and the program's version line.
    static QString Text();
    QLabel* TextLabel() const { return m_pText; }

private:
    QLabel* m_pText;
};

class CKelvoDlg : public QDialog, public IDialogHost {
public:
    // utils: the discovery object of each kind (null: that kind finds nothing).
    // pComConfig: the application's serial configuration slot.
    CKelvoDlg(CKelvoApp& app, IUpdateWorkers& workers, std::array<CUtilPort*, 4> utils,
              std::shared_ptr<ComConfigRecord>* pComConfig, QWidget* pParent = nullptr);
    ~CKelvoDlg() override;

    // Set-up, the modal run and the end of the window; returns when the dialog has closed
    // and no worker runs any more (or one was left behind after DESTROY_WAIT_MS).
    int RunModal();

    // IDialogHost: callable from any thread; each is carried out on the dialog's thread.
    void SetCaption(const std::string& caption) override;
    void SetControlText(int nControlId, const std::string& text) override;
    void SetBusyLayout(bool bBusy) override;
    void EnableDialog(bool bEnable) override;
    void RestoreAfterRun() override;
    void PostSelect() override;
    void PostClose() override;
    void PostRetry() override;

    // Labels and preselects the kinds of the loaded model; FALSE after message 256 or
    // 257. Runs on the initialisation thread; the controls change on the dialog's thread.
    BOOL SetupConnectionKinds();
    // Dialog's thread only.
    void EnableControls(bool bEnable);
    void ShowBusyLayout(bool bBusy);
    void OnSelect();
    void OnRetry();
    void OnClose();
    // A second instance asked: brings forward the window the user is to deal with (the
    // topmost modal one: the port list, a message box; else this dialog), restored when
    // minimised, activated with the second instance's activation token when it had one.
    void BringForward(const QString& token = {});

    // Escape and the close box come here.
    void reject() override;

    // A signal asking the program to end (SIGINT, SIGTERM, SIGHUP) is the close request.
    // With no worker running, the dialog closes as on Close (an open port list or box is
    // dismissed first). While a worker runs, the first signal cancels the run and the
    // dialog closes once the run has ended; a later one has the machine restored (the
    // services the run stopped started again, the serial defaults put back) and then
    // calls the quit handler, which ends the process.
    void OnCloseSignal(int nSignal);
    // Tells the user what a signal does (stderr). Any text, one line each.
    void SetSignalNotice(std::function<void(const std::string&)> notice) { m_signalNotice = std::move(notice); }
    // Ends the process once the machine is restored, without waiting for the worker
    // (theApp.nExitCode holds the result).
    void SetQuitHandler(std::function<void()> handler) { m_quit = std::move(handler); }

    // Parts tests and screenshots reach.
    CPortListDlg& PortList() { return *m_pPortList; }
    QRadioButton* KindButton(int nKind) const { return m_kinds[static_cast<std::size_t>(nKind)]; }
    QPushButton* SelectButton() const { return m_pSelect; }
    QLabel* Control(int nId) const;
    QToolButton* HelpIcon() const { return m_pHelp; }
    // Under the progress text while it shows a percentage: the step it stands for, named
    // as a person reads it ("Firmware FW2007SIM.bin", "Checking the font data").
    QLabel* StepLine() const { return m_pStep; }
    // Under the step line: the step's percentage, or busy for a step that has none.
    QProgressBar* ProgressBar() const { return m_pProgressBar; }
    // True once the help page's launch has returned (or none was started).
    bool HelpLaunchEnded() const noexcept { return m_helpLaunch.HasEnded(); }
    bool WorkerHeld() const { return m_bWorkerHeld; }
    void SetUrlLauncher(std::function<BOOL(const char*)> launch) { m_launchUrl = std::move(launch); }
    void SetSilentCloseDelay(int nMs) { m_nSilentCloseMs = nMs; }
    // Called on the dialog's thread when a worker is given up after DESTROY_WAIT_MS, in
    // place of the default: the machine restored (as on a second close signal), the
    // settings written, then the quit handler with the result 1460. Empty: the default.
    void SetAbandonHandler(std::function<void()> handler) { m_abandon = std::move(handler); }
    void SetDestroyWait(DWORD dwMs) { m_dwDestroyWait = dwMs; }
    // Makes sure the print spooler runs (at set-up; tests leave the machine alone).
    void SetSpoolerStart(std::function<void()> start) { m_startSpooler = std::move(start); }
    // Called on the dialog's thread as the window ends, before it waits for a worker
    // (the message box lets go of workers waiting for an answer).
    void SetEndingHandler(std::function<void()> handler) { m_ending = std::move(handler); }

protected:
    // The focus that EnableControls asked for while the dialog was disabled lands on
    // Select once the dialog is enabled.
    void changeEvent(QEvent* pEvent) override;

private:
    void BuildControls();
    void InitDialog();
    void Destroy();
    void EndDialog();
    void ShowAbout();
    void OnHelpIcon();
    void EndSilentWithout(DWORD dwResult);
    void CloseWhenWorkerEnds();
    void SignalNotice(const std::string& text);
    void WaitForLastWorker(const char* pszNote);
    void PlaceProgressText();
    // Sizes the window and its texts so that every line shows whole, in any language;
    // the window only grows.
    void FitToTexts();
    // The step a progress text shows, with the step that follows a transfer's last byte
    // in place of the transfer at 100 %. The caller's thread (a worker's, for the engine's
    // transfer under way).
    std::optional<ProgressStep> StepOfText(const std::string& text);
    void ShowStep(const std::optional<ProgressStep>& step);
    // The step line's text now: a restart wait counts its time left down.
    void UpdateStepLine();
    // Leaves a worker behind: the services it stopped started again and the serial
    // defaults restored, the settings written, then the quit handler.
    void QuitLeavingWorker(DWORD dwResult, const char* pszWhy);
    void AbandonWorker();
    void StartUpdate(bool bRetry);
    // Runs fn on the dialog's thread: at once when called there, else queued.
    void OnGuiThread(std::function<void()> fn);

    CKelvoApp& m_app;
    IUpdateWorkers& m_workers;
    std::array<CUtilPort*, 4> m_utils;
    std::shared_ptr<ComConfigRecord>* m_pComConfig;
    CPortListDlg* m_pPortList;
    QLabel* m_pTitle = nullptr;
    QLabel* m_pDestination = nullptr;
    std::array<QRadioButton*, 4> m_kinds{};
    QPushButton* m_pSelect = nullptr;
    QLabel* m_pStatus = nullptr;
    QLabel* m_pProgress = nullptr;
    QLabel* m_pStep = nullptr;
    QProgressBar* m_pProgressBar = nullptr;
    std::optional<ProgressStep> m_step;  // the step the progress text shows now
    QTimer* m_pStepTimer = nullptr;      // counts a wait's time left down
    const UiLanguage m_language;
    std::mutex m_stepsMutex;  // each run's worker in turn; held only to name a text
    CProgressSteps m_steps;
    QToolButton* m_pHelp = nullptr;
    QPushButton* m_pClose = nullptr;
    int m_nProgressTop = 0;
    QSize m_templateSize;
    int m_nSelectTop = 0;
    Thread m_helpLaunch;  // the browser's start, off the dialog's thread
    bool m_bWorkerHeld = false;   // a worker was started and not yet waited for
    bool m_bUpdateHeld = false;   // that worker is (or was) an update run
    bool m_bEnding = false;
    bool m_bDestroyed = false;
    bool m_bFocusSelect = false;  // Select takes the focus as soon as it can
    QTimer* m_pCloseTimer = nullptr;  // a silent close waiting for the worker's end
    int m_nSilentCloseMs = SILENT_FAILED_CLOSE_MS;
    DWORD m_dwDestroyWait = DESTROY_WAIT_MS;
    std::function<BOOL(const char*)> m_launchUrl;
    std::function<void()> m_abandon;
    std::function<void()> m_ending;
    std::function<void()> m_startSpooler;
    int m_nCloseSignals = 0;
    std::function<void(const std::string&)> m_signalNotice;
    std::function<void()> m_quit;
};
