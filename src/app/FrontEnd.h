#pragma once
// The desktop front end: Qt message boxes callable from any thread, the single-instance
// channel, the main window's run, and the user's language.
#include <QLocalServer>
#include <QObject>
#include <QString>

#include <array>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "engine/Kelvo.h"
#include "ui/MsgBox.h"

class QApplication;
class QMessageBox;
class QSocketNotifier;
class QWidget;
class CKelvoDlg;
class CUtilPort;
class CUtilUsb;
class IUpdateWorkers;
struct ComConfigRecord;

// Shows boxes on the GUI thread. A worker thread asking for a box waits until it is
// answered, or until the window ends (answer 0): a worker never holds up the end of the
// window.
class CQtMessageBox : public IMessageBox {
public:
    // Called with each box before it shows; a value other than -1 answers it without
    // showing it (tests, screenshots). Runs on the GUI thread.
    using Hook = std::function<int(QMessageBox& box)>;

    CQtMessageBox();
    ~CQtMessageBox() override;

    int MessageBox(const std::string& text, const std::string& caption, DWORD dwStyle) override;

    void SetOwner(QWidget* pOwner) noexcept { m_pOwner = pOwner; }
    void SetHook(Hook hook);
    // From now on every waiting worker gets 0 and no box shows. GUI thread.
    void Shutdown();
    // Lets boxes show again (a new window). GUI thread.
    void Reopen();
    // Workers now waiting for an answer.
    int Waiting();

private:
    int ShowOnGuiThread(const std::string& text, const std::string& caption, DWORD dwStyle);

    QObject m_context;  // lives on the GUI thread; queued boxes run in its name
    QWidget* m_pOwner = nullptr;
    Hook m_hook;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_bShutdown = false;
    int m_nWaiting = 0;
};

// The answer a style's standard button stands for.
int AnswerOfButton(int nQtButton);

// The single-instance channel: the first instance listens on a local socket named after
// the instance name and the user id; a second one connects to it and asks it to raise
// its window, handing over the activation token its desktop gave it (a Wayland
// compositor lets a window come forward only with one).
QString InstanceChannelName();
class CInstanceChannel {
public:
    // Starts listening (a stale socket of a dead holder is removed first: the caller
    // holds the instance lock). onRaise runs on the GUI thread for each request, with
    // the token sent along (empty: none, or one that is no plain token).
    bool Listen(const QString& name, std::function<void(const QString& token)> onRaise);
    void Close();
    // Asks the instance listening on name to come forward, with the activation token
    // (may be empty); true when the request was delivered. Waits at most nTimeoutMs ms.
    static bool AskToRaise(const QString& name, const QString& token = {}, int nTimeoutMs = 2000);
    // A token as the channel carries it: 1 to 4096 printable ASCII characters without
    // blanks; anything else becomes empty.
    static QString PlainToken(const QString& token);

private:
    std::unique_ptr<QLocalServer> m_pServer;
};

// Brings a window to the front and asks for the keyboard focus for it. On Wayland the
// desktop grants that only with an activation token: a given token is handed to Qt's
// Wayland plugin the one way Qt 6.4 takes it (XDG_ACTIVATION_TOKEN in the environment,
// read and removed by the plugin in the activation). GUI thread.
void ActivateWithToken(QWidget* pWindow, const QString& token);

// Dismisses (rejects) the modal windows open above pBelow (null: all of them), topmost
// first; true when there was one. GUI thread.
bool DismissModalWindows(QWidget* pBelow);

// Japanese texts need a font that has their characters; also loads Qt's own texts in
// the user's language when they are installed.
void SetUpUiLanguage(QApplication& app);

class CKelvoFrontEnd : public IFrontEnd {
public:
    // pWorkers: the engine's workers (tests pass their own).
    explicit CKelvoFrontEnd(IUpdateWorkers* pWorkers);
    ~CKelvoFrontEnd() override;

    void RunMainWindow(CKelvoApp& app) override;
    void RaiseFirstInstance() override;
    int MessageBox(const std::string& text, const std::string& caption, DWORD dwStyle) override;

    CQtMessageBox& Boxes() { return m_box; }
    // Runs with the dialog before its modal run starts (tests, screenshots).
    void SetDialogHook(std::function<void(CKelvoDlg&)> hook) { m_dialogHook = std::move(hook); }
    // The discovery objects by kind; the LAN search is the program's own.
    void SetDiscovery(int nKind, CUtilPort* pUtil);
    // Signals asking the program to end arrive on fd (BlockCloseSignals), read whenever
    // an event loop runs. While the main window runs each is its close request
    // (CKelvoDlg::OnCloseSignal); one that comes before dismisses a box of the start-up
    // and closes the window as soon as it opens. notice tells the user (stderr); quit
    // ends the process after a second signal during an update has had the machine
    // restored.
    void SetCloseSignals(int fd, std::function<void(const std::string&)> notice, std::function<void()> quit);
    // A close signal came before the main window (0: none): a window still to open
    // before it closes at once.
    int PendingCloseSignal() const noexcept { return m_nEarlySignal; }

private:
    void OnCloseSignal(int nSignal);

    IUpdateWorkers* m_pWorkers;
    CQtMessageBox m_box;
    CInstanceChannel m_channel;
    std::unique_ptr<CUtilPort> m_pUtilTcp;
    std::unique_ptr<CUtilUsb> m_pUtilUsb;
    std::unique_ptr<CUtilPort> m_pUtilCom;
    std::unique_ptr<CUtilPort> m_pUtilBth;
    std::array<CUtilPort*, 4> m_utils{};
    std::shared_ptr<ComConfigRecord> m_comConfig;  // the serial configuration slot
    std::function<void(CKelvoDlg&)> m_dialogHook;
    int m_fdCloseSignals = -1;
    std::unique_ptr<QSocketNotifier> m_pSignals;
    CKelvoDlg* m_pDialog = nullptr;  // the main window while it runs
    int m_nEarlySignal = 0;          // a signal that came before the main window
    std::function<void(const std::string&)> m_signalNotice;
    std::function<void()> m_quit;
};
