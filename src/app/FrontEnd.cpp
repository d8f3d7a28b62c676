#include "app/FrontEnd.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLibraryInfo>
#include <QLocalSocket>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>
#include <QTranslator>

#include <unistd.h>

#include "app/KelvoDlg.h"
#include "app/Workers.h"
#include "discovery/UtilCom.h"
#include "discovery/UtilBth.h"
#include "discovery/UtilTcp.h"
#include "discovery/UtilUsb.h"
#include "engine/Thread.h"
#include "engine/SingleInstance.h"
#include "system/Service.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Signals.h"
#include "platform/Text.h"
#include "platform/WinError.h"
#include "port/ComConf.h"
#include "ui/StringTable.h"

namespace {

constexpr int kMaxToken = 4096;
constexpr qint64 kMaxRequest = 6 + kMaxToken + 1;  // "raise " + token + newline

struct ButtonSet {
    QMessageBox::StandardButtons buttons;
    std::array<QMessageBox::StandardButton, 3> order;
};

ButtonSet ButtonsOfStyle(DWORD dwStyle) {
    using B = QMessageBox;
    switch (dwStyle & MB_TYPEMASK) {
        case MB_OKCANCEL: return {B::Ok | B::Cancel, {B::Ok, B::Cancel, B::NoButton}};
        case MB_ABORTRETRYIGNORE: return {B::Abort | B::Retry | B::Ignore, {B::Abort, B::Retry, B::Ignore}};
        case MB_YESNOCANCEL: return {B::Yes | B::No | B::Cancel, {B::Yes, B::No, B::Cancel}};
        case MB_YESNO: return {B::Yes | B::No, {B::Yes, B::No, B::NoButton}};
        case MB_RETRYCANCEL: return {B::Retry | B::Cancel, {B::Retry, B::Cancel, B::NoButton}};
        case MB_CANCELTRYCONTINUE: return {B::Cancel | B::Retry | B::Ignore, {B::Cancel, B::Retry, B::Ignore}};
        default: return {B::Ok, {B::Ok, B::NoButton, B::NoButton}};
    }
}

QMessageBox::Icon IconOfStyle(DWORD dwStyle) {
    switch (dwStyle & MB_ICONMASK) {
        case MB_ICONHAND: return QMessageBox::Critical;
        case MB_ICONQUESTION: return QMessageBox::Question;
        case MB_ICONEXCLAMATION: return QMessageBox::Warning;
        case MB_ICONASTERISK: return QMessageBox::Information;
        default: return QMessageBox::NoIcon;
    }
}

// The serial configuration slot the update run reads: the application object's when it
// has one, else the front end's own.
template <typename App>
std::shared_ptr<ComConfigRecord>* ComConfigSlotOf(App& app, std::shared_ptr<ComConfigRecord>* pOwn) {
    if constexpr (requires { app.pComConfig; }) {
        return &app.pComConfig;
    } else {
        return pOwn;
    }
}

}  // namespace

int AnswerOfButton(int nQtButton) {
    switch (nQtButton) {
        case QMessageBox::Ok: return IDOK;
        case QMessageBox::Cancel: return IDCANCEL;
        case QMessageBox::Abort: return IDABORT;
        case QMessageBox::Retry: return IDRETRY;
        case QMessageBox::Ignore: return IDIGNORE;
        case QMessageBox::Yes: return IDYES;
        case QMessageBox::No: return IDNO;
        default: return 0;
    }
}

// --- message box -----------------------------------------------------------------------------

CQtMessageBox::CQtMessageBox() = default;
CQtMessageBox::~CQtMessageBox() { Shutdown(); }

void CQtMessageBox::SetHook(Hook hook) { m_hook = std::move(hook); }

void CQtMessageBox::Shutdown() {
    std::lock_guard lock(m_mutex);
    m_bShutdown = true;
    m_changed.notify_all();
}

void CQtMessageBox::Reopen() {
    std::lock_guard lock(m_mutex);
    m_bShutdown = false;
}

int CQtMessageBox::Waiting() {
    std::lock_guard lock(m_mutex);
    return m_nWaiting;
}

int CQtMessageBox::MessageBox(const std::string& text, const std::string& caption, DWORD dwStyle) {
    LastErrorGuard keep;
    if (QThread::currentThread() == m_context.thread()) return ShowOnGuiThread(text, caption, dwStyle);
    // The answer is shared with the GUI thread's job, which may run after this worker
    // has stopped waiting.
    struct Pending {
        bool bDone = false;
        int nAnswer = 0;
    };
    auto pPending = std::make_shared<Pending>();
    {
        std::lock_guard lock(m_mutex);
        if (m_bShutdown) return 0;
    }
    QMetaObject::invokeMethod(
        &m_context,
        [this, pPending, text, caption, dwStyle] {
            int nAnswer = ShowOnGuiThread(text, caption, dwStyle);
            std::lock_guard lock(m_mutex);
            pPending->nAnswer = nAnswer;
            pPending->bDone = true;
            m_changed.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(m_mutex);
    ++m_nWaiting;
    m_changed.wait(lock, [&] { return pPending->bDone || m_bShutdown; });
    --m_nWaiting;
    return pPending->bDone ? pPending->nAnswer : 0;
}

int CQtMessageBox::ShowOnGuiThread(const std::string& text, const std::string& caption, DWORD dwStyle) {
    {
        std::lock_guard lock(m_mutex);
        if (m_bShutdown) return 0;
    }
    const ButtonSet set = ButtonsOfStyle(dwStyle);
    QMessageBox box(IconOfStyle(dwStyle), QString::fromStdString(caption), QString::fromStdString(text), set.buttons,
                    m_pOwner);
    const int nDefault = static_cast<int>((dwStyle & MB_DEFMASK) >> 8);
    if (nDefault < 3 && set.order[static_cast<std::size_t>(nDefault)] != QMessageBox::NoButton) {
        box.setDefaultButton(set.order[static_cast<std::size_t>(nDefault)]);
    }
    if (dwStyle & MB_TOPMOST) box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    if (m_hook) {
        int nAnswer = m_hook(box);
        if (nAnswer != -1) return nAnswer;
    }
    box.exec();
    return AnswerOfButton(box.standardButton(box.clickedButton()));
}

// --- single instance -------------------------------------------------------------------------

QString InstanceChannelName() {
    const QString lockPath = QString::fromStdString(InstanceLockPath());
    return QFileInfo(lockPath).absolutePath() + "/" + INSTANCE_NAME + QString::number(::getuid());
}

bool CInstanceChannel::Listen(const QString& name, std::function<void(const QString& token)> onRaise) {
    Close();
    QLocalServer::removeServer(name);
    m_pServer = std::make_unique<QLocalServer>();
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_pServer->listen(name)) {
        LogMessage(LOG_WARNING, 'W', __LINE__, 0, "Instance channel not open [%s]",
                   m_pServer->errorString().toStdString().c_str());
        m_pServer.reset();
        return false;
    }
    QLocalServer* pServer = m_pServer.get();
    QObject::connect(pServer, &QLocalServer::newConnection, pServer, [pServer, onRaise] {
        while (QLocalSocket* pSocket = pServer->nextPendingConnection()) {
            QObject::connect(pSocket, &QLocalSocket::disconnected, pSocket, &QObject::deleteLater);
            QObject::connect(pSocket, &QLocalSocket::readyRead, pSocket, [pSocket, onRaise] {
                if (!pSocket->canReadLine()) {
                    // One short line is all a request is.
                    if (pSocket->bytesAvailable() > kMaxRequest) pSocket->disconnectFromServer();
                    return;
                }
                const QString line = QString::fromLatin1(pSocket->readLine(kMaxRequest + 1)).trimmed();
                pSocket->disconnectFromServer();
                if (line == QLatin1String("raise")) {
                    onRaise({});
                } else if (line.startsWith(QLatin1String("raise "))) {
                    onRaise(PlainToken(line.mid(6)));
                }
            });
        }
    });
    return true;
}

void CInstanceChannel::Close() {
    if (m_pServer) m_pServer->close();
    m_pServer.reset();
}

QString CInstanceChannel::PlainToken(const QString& token) {
    if (token.isEmpty() || token.size() > kMaxToken) return {};
    for (QChar ch : token) {
        if (ch.unicode() <= 0x20 || ch.unicode() >= 0x7F) return {};
    }
    return token;
}

bool CInstanceChannel::AskToRaise(const QString& name, const QString& token, int nTimeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(nTimeoutMs)) return false;
    QByteArray request = "raise";
    if (const QString plain = PlainToken(token); !plain.isEmpty()) request += " " + plain.toLatin1();
    socket.write(request + "\n");
    bool bSent = socket.waitForBytesWritten(nTimeoutMs);
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState) socket.waitForDisconnected(nTimeoutMs);
    return bSent;
}

void ActivateWithToken(QWidget* pWindow, const QString& token) {
    const bool bHandOver = !token.isEmpty() && QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
    // Set for this one synchronous call only: the plugin removes it once used (and so does
    // this function when the compositor has no activation protocol and the plugin left
    // it), so no helper started later inherits a spent token. Changing the environment
    // while a worker reads it is not safe in every case, hence only for a Wayland raise
    // that came with a token; Qt 6.5 and later offer a call that needs no variable.
    if (bHandOver) qputenv("XDG_ACTIVATION_TOKEN", token.toLatin1());
    pWindow->activateWindow();
    if (bHandOver && qEnvironmentVariableIsSet("XDG_ACTIVATION_TOKEN")) qunsetenv("XDG_ACTIVATION_TOKEN");
}

// --- language --------------------------------------------------------------------------------

void SetUpUiLanguage(QApplication& app) {
    if (ChooseUiLanguage() != UiLanguage::Japanese) return;
    QFont font("Noto Sans CJK JP");
    font.setPointSize(9);
    app.setFont(font);
    static QTranslator translator;
    if (translator.load(QLocale(QLocale::Japanese), "qtbase", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        app.installTranslator(&translator);
    }
}

// --- front end -------------------------------------------------------------------------------

CKelvoFrontEnd::CKelvoFrontEnd(IUpdateWorkers* pWorkers) : m_pWorkers(pWorkers) {
    m_pUtilTcp = std::make_unique<CUtilTcp>();
    m_utils[2] = m_pUtilTcp.get();
    // The port list fills the names the engine compares with after a USB restart.
    m_pUtilUsb = std::make_unique<CUtilUsb>();
    m_utils[0] = m_pUtilUsb.get();
    m_pUtilCom = std::make_unique<CUtilCom>(CompetingServicesControl);
    m_utils[3] = m_pUtilCom.get();
    SetUsbDiscovery(m_pUtilUsb.get());
    m_pUtilBth = std::make_unique<CUtilBth>();
    m_utils[1] = m_pUtilBth.get();
}

CKelvoFrontEnd::~CKelvoFrontEnd() { SetUsbDiscovery(nullptr); }

void CKelvoFrontEnd::SetDiscovery(int nKind, CUtilPort* pUtil) {
    if (nKind >= 0 && nKind < 4) m_utils[static_cast<std::size_t>(nKind)] = pUtil;
}

int CKelvoFrontEnd::MessageBox(const std::string& text, const std::string& caption, DWORD dwStyle) {
    return m_box.MessageBox(text, caption, dwStyle);
}

void CKelvoFrontEnd::RaiseFirstInstance() {
    // The token the desktop gave this start stands for the user's click: the first
    // instance may take the focus with it.
    const QString token = CInstanceChannel::PlainToken(qEnvironmentVariable("XDG_ACTIVATION_TOKEN"));
    if (!CInstanceChannel::AskToRaise(InstanceChannelName(), token)) {
        LogMessage(LOG_WARNING, 'W', __LINE__, 0, "First instance not reached");
    }
}

void CKelvoFrontEnd::SetCloseSignals(int fd, std::function<void(const std::string&)> notice,
                                     std::function<void()> quit) {
    m_fdCloseSignals = fd;
    m_signalNotice = std::move(notice);
    m_quit = std::move(quit);
    m_pSignals.reset();
    if (fd < 0) return;
    m_pSignals = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    QObject::connect(m_pSignals.get(), &QSocketNotifier::activated, m_pSignals.get(), [this, fd] {
        for (;;) {
            const int nSignal = ReadCloseSignal(fd);
            if (nSignal < 0) m_pSignals->setEnabled(false);
            if (nSignal <= 0) return;
            OnCloseSignal(nSignal);
        }
    });
}

void CKelvoFrontEnd::OnCloseSignal(int nSignal) {
    if (m_pDialog != nullptr) {
        m_pDialog->OnCloseSignal(nSignal);
        return;
    }
    // Before the main window (a box of the start-up waiting, say): nothing runs that a
    // signal could cut short. The box goes, and a window still to come closes at once.
    LogMessage(LOG_APP, 'I', __LINE__, 0, "Close signal %d received before the window", nSignal);
    m_box.Shutdown();  // and no later one waits either
    const bool bDismissed = DismissModalWindows(nullptr);
    if (m_nEarlySignal == 0 && bDismissed && m_signalNotice) m_signalNotice(StrPrintf("Signal %d: closing.", nSignal));
    m_nEarlySignal = nSignal;
}

bool DismissModalWindows(QWidget* pBelow) {
    // Each modal window runs a loop of its own above the one below it, which must end
    // before the one below can.
    bool bDismissed = false;
    for (int i = 0; i < 16; ++i) {
        QWidget* pModal = QApplication::activeModalWidget();
        if (pModal == nullptr || pModal == pBelow) break;
        if (auto* pDialog = qobject_cast<QDialog*>(pModal)) {
            pDialog->reject();
        } else {
            pModal->close();
        }
        bDismissed = true;
    }
    return bDismissed;
}

void CKelvoFrontEnd::RunMainWindow(CKelvoApp& app) {
    if (m_pWorkers == nullptr) {
        LogMessage(LOG_ERROR, 'E', __LINE__, ERROR_NOT_SUPPORTED, "No update engine in this build");
        app.nExitCode = ERROR_NOT_SUPPORTED;
        return;
    }
    CKelvoDlg dlg(app, *m_pWorkers, m_utils, ComConfigSlotOf(app, &m_comConfig));
    m_box.Reopen();
    m_box.SetOwner(&dlg);
    dlg.SetEndingHandler([this] { m_box.Shutdown(); });
    m_channel.Listen(InstanceChannelName(), [&dlg](const QString& token) { dlg.BringForward(token); });
    if (m_fdCloseSignals >= 0) {
        dlg.SetSignalNotice(m_signalNotice);
        if (m_quit) dlg.SetQuitHandler(m_quit);
    }
    m_pDialog = &dlg;
    // A signal that came while the start-up still ran closes the window at once.
    if (m_nEarlySignal != 0) {
        QTimer::singleShot(0, &dlg, [&dlg, nSignal = m_nEarlySignal] { dlg.OnCloseSignal(nSignal); });
        m_nEarlySignal = 0;
    }
    if (m_dialogHook) m_dialogHook(dlg);
    dlg.RunModal();
    m_pDialog = nullptr;
    m_channel.Close();
    m_box.SetOwner(nullptr);
}
