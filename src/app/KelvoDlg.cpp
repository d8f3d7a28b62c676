#include "app/KelvoDlg.h"

#include <QApplication>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShortcut>
#include <QStyle>
#include <QThread>
#include <QTimer>
#include <QToolButton>

#include <algorithm>

#include "app/DialogUnits.h"
#include "app/FrontEnd.h"
#include "app/PortListDlg.h"
#include "config/ConfigFile.h"
#include "engine/Kelvo.h"
#include "engine/Steps.h"
#include "log/Log.h"
#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/ComConf.h"
#include "system/Service.h"
#include "ui/Launch.h"
#include "ui/ProgressSteps.h"
#include "ui/StringTable.h"
#include "ui/Util.h"

#include "../../resources/kelvo.xpm"

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }
QString Res(DWORD dwId) { return Q(LoadResString(dwId)); }

constexpr std::array<DWORD, 4> kKindBits = {IF_USB, IF_BT, IF_TCP, IF_COM};

const ModelEntry& CurrentRow() {
    int nTypeId = theApp.nTypeId;
    if (nTypeId < 0 || static_cast<std::size_t>(nTypeId) >= MODEL_TABLE_SIZE) nTypeId = 0;
    return ModelTable[static_cast<std::size_t>(nTypeId)];
}

void PaintWhite(QWidget* pWidget) {
    pWidget->setAutoFillBackground(true);
    QPalette pal = pWidget->palette();
    pal.setColor(QPalette::Window, Qt::white);
    pWidget->setPalette(pal);
}

}  // namespace

QIcon KelvoIcon() { return QIcon(QPixmap(kelvo_xpm)); }

namespace {

// The help icon as the keyboard reaches it: Enter and Return open the help as a click
// does, instead of falling through to the dialog's default button, Select.
class CHelpIcon : public QToolButton {
public:
    using QToolButton::QToolButton;

protected:
    void keyPressEvent(QKeyEvent* pEvent) override {
        if (pEvent->modifiers() == Qt::NoModifier || pEvent->modifiers() == Qt::KeypadModifier) {
            if (pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) {
                click();
                return;
            }
        }
        QToolButton::keyPressEvent(pEvent);
    }
};

// A kind's whole box takes the click, as on the dialog it replaces; Qt's own button
// answers only on its indicator and label, which leaves a dead strip in the wide boxes.
class CKindButton : public QRadioButton {
public:
    using QRadioButton::QRadioButton;

protected:
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }
};

}  // namespace

// --- About --------------------------------------------------------------------------------

CAboutDlg::CAboutDlg(QWidget* pParent) : QDialog(pParent) {
    setWindowTitle("Version");
    DialogUnits du(font());
    auto* pIcon = new QLabel(this);
    pIcon->setPixmap(KelvoIcon().pixmap(32, 32));
    pIcon->setGeometry(du.Rect(7, 14, 20, 20));
    m_pText = new QLabel(this);
    m_pText->setObjectName("1029");
    m_pText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_pText->setGeometry(du.Rect(29, 7, 134, 49));
    m_pText->setText(Text());
    auto* pOk = new QPushButton("OK", this);
    pOk->setGeometry(du.Rect(59, 59, 50, 14));
    pOk->setDefault(true);
    connect(pOk, &QPushButton::clicked, this, &QDialog::accept);
    setFixedSize(du.Size(170, 80));
}

QString CAboutDlg::Text() {
    QString text = "Kelvo\n for ZAQ Thermal Printers";
    text += QString("\n\nThis Software Version %1").arg(QString::fromLatin1(KELVO_VERSION).left(255));
    return text;
}

// --- main dialog: construction and the modal run ------------------------------------------

CKelvoDlg::CKelvoDlg(CKelvoApp& app, IUpdateWorkers& workers, std::array<CUtilPort*, 4> utils,
                     std::shared_ptr<ComConfigRecord>* pComConfig, QWidget* pParent)
    : QDialog(pParent),
      m_app(app),
      m_workers(workers),
      m_utils(utils),
      m_pComConfig(pComConfig),
      m_language(ChooseUiLanguage()),
      m_steps(m_language) {
    m_steps.SetTransferSource([this] { return m_workers.TransferUnderWay(); });
    m_pPortList = new CPortListDlg(pComConfig, this);
    m_pPortList->SetAddressMemory(&app.strTargetName, &app.nIpAddr);
    m_launchUrl = LaunchUrl;
    m_startSpooler = [] { SpoolerControl(TRUE, nullptr); };
    // The machine is restored; the worker may still be in a wait it cannot leave soon.
    m_quit = [this] {
        LogFlush();  // _Exit runs no exit handler: the log's queue goes out first
        std::_Exit(ExitStatusFromResult(m_app.nExitCode));
    };
    setWindowIcon(KelvoIcon());
    setWindowTitle(KELVO_CAPTION);
    PaintWhite(this);
    BuildControls();
}

CKelvoDlg::~CKelvoDlg() { Destroy(); }

void CKelvoDlg::BuildControls() {
    DialogUnits du(font());
    auto label = [&](int x, int y, int w, int h, const QString& text, bool bVisible) {
        auto* p = new QLabel(text, this);
        p->setGeometry(du.Rect(x, y, w, h));
        p->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        // Lines break where the texts break them; the window is sized to the longest
        // (a wrap would cut Japanese words anywhere).
        p->setWordWrap(false);
        p->setVisible(bVisible);
        return p;
    };
    m_pTitle = label(7, 7, 123, 28, "Update the device firmware.", true);
    m_pDestination = label(7, 24, 123, 11, "Select the destination.", true);
    const std::array<const char*, 4> names = {"USB", "Bluetooth", "Ethernet", "Serial"};
    const std::array<QRect, 4> rects = {du.Rect(13, 35, 77, 13), du.Rect(13, 47, 77, 13), du.Rect(13, 59, 130, 13),
                                        du.Rect(13, 71, 78, 13)};
    for (std::size_t i = 0; i < 4; ++i) {
        m_kinds[i] = new CKindButton(names[i], this);
        m_kinds[i]->setGeometry(rects[i]);
    }
    m_pSelect = new QPushButton("&Select", this);
    m_pSelect->setGeometry(du.Rect(85, 84, 52, 20));
    m_nSelectTop = m_pSelect->geometry().top();
    m_pSelect->setDefault(true);
    m_pSelect->setEnabled(false);
    m_pStatus = label(7, 7, 120, 61, "Message", false);
    m_pProgress = label(7, 33, 120, 42, "Message", false);
    m_nProgressTop = m_pProgress->geometry().top();
    m_pStep = label(7, 33, 120, 10, "", false);
    m_pStepTimer = new QTimer(this);
    m_pStepTimer->setInterval(1000);
    connect(m_pStepTimer, &QTimer::timeout, this, [this] { UpdateStepLine(); });
    m_pProgressBar = new QProgressBar(this);
    m_pProgressBar->setRange(0, 100);
    m_pProgressBar->setTextVisible(false);  // the progress text above says it
    m_pProgressBar->setVisible(false);
    m_pHelp = new CHelpIcon(this);
    m_pHelp->setAutoRaise(true);
    m_pHelp->setIcon(style()->standardIcon(QStyle::SP_MessageBoxQuestion));
    m_pHelp->setIconSize(QSize(16, 16));
    m_pHelp->setGeometry(QRect(du.X(132), du.Y(4), 20, 20));
    m_pHelp->setFocusPolicy(Qt::StrongFocus);  // after Select in the tab order
    m_pClose = new QPushButton("&Close", this);
    m_pClose->setGeometry(du.Rect(35, 82, 50, 20));
    m_pClose->setVisible(false);
    m_templateSize = du.Size(144, 110).expandedTo(QSize(du.X(132) + 24, 0));
    setFixedSize(m_templateSize);
    FitToTexts();

    connect(m_pSelect, &QPushButton::clicked, this, [this] { OnSelect(); });
    connect(m_pClose, &QPushButton::clicked, this, [this] { OnClose(); });
    connect(m_pHelp, &QToolButton::clicked, this, [this] { OnHelpIcon(); });
    auto* pF1 = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(pF1, &QShortcut::activated, this, [this] { ShowAbout(); });
}

QLabel* CKelvoDlg::Control(int nId) const {
    switch (nId) {
        case IDC_TITLE_TEXT: return m_pTitle;
        case IDC_DESTINATION_TEXT: return m_pDestination;
        case IDC_STATUS_TEXT: return m_pStatus;
        case IDC_PROGRESS_TEXT: return m_pProgress;
        default: return nullptr;
    }
}

void CKelvoDlg::InitDialog() {
    setProperty(WINDOW_PROPERTY, 1);
    m_pTitle->setText(Res(IDS_UPDATE_FIRMWARE));
    m_pDestination->setText(Res(IDS_SELECT_DESTINATION));
    m_pSelect->setText(Res(IDS_SELECT));
    m_pStatus->setText(Res(IDS_UPDATING_FIRMWARE));
    m_pHelp->setToolTip(Res(IDS_HELP));
    m_pHelp->setAccessibleName(Res(IDS_HELP));
    FitToTexts();
    // Silent mode shows nothing from the start.
    ShowBusyLayout(false);
    if (m_startSpooler) m_startSpooler();
    WorkerHooks hooks;
    hooks.setupKinds = [this] { return SetupConnectionKinds(); };
    hooks.launchUrl = [this](const char* pszUrl) { return m_launchUrl ? m_launchUrl(pszUrl) : FALSE; };
    if (m_workers.StartInitialize(*this, std::move(hooks))) {
        m_bWorkerHeld = true;
    } else {
        DWORD dwError = GetLastError();
        LogMessage(LOG_ERROR, 'E', __LINE__, dwError, "Initialisation thread not started");
        m_app.nExitCode = dwError != ERROR_SUCCESS ? dwError : ERROR_NOT_ENOUGH_MEMORY;
        // No thread will ask for the end of a silent run: the dialog ends it itself.
        if (m_app.TestFlags(UF_SILENT)) QTimer::singleShot(m_nSilentCloseMs, this, [this] { OnClose(); });
    }
}

int CKelvoDlg::RunModal() {
    InitDialog();
    int nResult = exec();
    Destroy();
    return nResult;
}

void CKelvoDlg::Destroy() {
    if (m_bDestroyed) return;
    m_bDestroyed = true;
    m_bEnding = true;
    m_app.SetFlags(UF_CANCEL);
    if (m_ending) m_ending();
    if (m_bWorkerHeld) {
        if (m_workers.Wait(m_dwDestroyWait) != WAIT_OBJECT_0) m_abandon ? m_abandon() : AbandonWorker();
        m_bWorkerHeld = false;
    }
    // The opener is bounded by its own wait; one still starting then is left to itself.
    if (m_helpLaunch.WaitForEnd(LAUNCH_WAIT) != WAIT_OBJECT_0) m_helpLaunch.Abandon();
    setProperty(WINDOW_PROPERTY, QVariant());
    if (m_pComConfig != nullptr) m_pComConfig->reset();
}

void CKelvoDlg::EndDialog() { QDialog::done(QDialog::Rejected); }

// --- what the workers do to the dialog -----------------------------------------------------

void CKelvoDlg::OnGuiThread(std::function<void()> fn) {
    if (QThread::currentThread() == thread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

void CKelvoDlg::SetCaption(const std::string& caption) {
    LastErrorGuard keep;
    OnGuiThread([this, text = Q(caption)] { setWindowTitle(text); });
}

void CKelvoDlg::SetControlText(int nControlId, const std::string& text) {
    LastErrorGuard keep;
    const bool bProgress = nControlId == IDC_PROGRESS_TEXT;
    // Named here, on the worker's thread, while the transfer it sends is the one under way.
    std::optional<ProgressStep> step = bProgress ? StepOfText(text) : std::nullopt;
    OnGuiThread([this, nControlId, bProgress, value = Q(text), step = std::move(step)] {
        if (QLabel* p = Control(nControlId)) p->setText(value);
        if (bProgress) ShowStep(step);
        FitToTexts();
    });
}

void CKelvoDlg::SetBusyLayout(bool bBusy) {
    LastErrorGuard keep;
    OnGuiThread([this, bBusy] { ShowBusyLayout(bBusy); });
}

void CKelvoDlg::EnableDialog(bool bEnable) {
    LastErrorGuard keep;
    OnGuiThread([this, bEnable] { setEnabled(bEnable); });
}

void CKelvoDlg::RestoreAfterRun() {
    LastErrorGuard keep;
    OnGuiThread([this] {
        ShowBusyLayout(false);
        EnableControls(true);
        raise();
        activateWindow();
        update();
    });
}

void CKelvoDlg::PostSelect() {
    LastErrorGuard keep;
    QMetaObject::invokeMethod(this, [this] { OnSelect(); }, Qt::QueuedConnection);
}

void CKelvoDlg::PostClose() {
    LastErrorGuard keep;
    QMetaObject::invokeMethod(this, [this] { OnClose(); }, Qt::QueuedConnection);
}

void CKelvoDlg::PostRetry() {
    LastErrorGuard keep;
    QMetaObject::invokeMethod(this, [this] { OnRetry(); }, Qt::QueuedConnection);
}

BOOL CKelvoDlg::SetupConnectionKinds() {
    const ModelEntry& row = CurrentRow();
    const DWORD dwLan = (row.dwOptions & OPT_ETHERNET_OR_WIRELESS_LAN) ? IDS_WIRELESS_OR_ETHERNET
                        : (row.dwOptions & OPT_WIRELESS_LAN)          ? IDS_WIRELESS_LAN
                                                                       : IDS_KIND_ETHERNET;
    const std::array<QString, 4> labels = {Res(IDS_KIND_USB), Res(IDS_KIND_BLUETOOTH), Res(dwLan), Res(IDS_KIND_SERIAL)};
    OnGuiThread([this, labels] {
        for (std::size_t i = 0; i < 4; ++i) m_kinds[i]->setText(labels[i]);
        EnableControls(false);
    });
    const bool bSilent = m_app.TestFlags(UF_SILENT);
    if (!bSilent) {
        int nFirst = -1;
        for (int i = 0; i < 4 && nFirst < 0; ++i) {
            if (row.dwInterfaces & kKindBits[static_cast<std::size_t>(i)]) nFirst = i;
        }
        if (nFirst < 0) {
            ShowError(LOC_NO_KIND, ERROR_SHOWN_NO_KIND, "%s", LoadResString(IDS_CONFIG_NO_PORT).c_str());
            return FALSE;
        }
        // The kind the user chose last time, when this model offers it.
        const int nLast = m_app.nLastPortKind;
        if (nLast >= 0 && nLast < 4 && (row.dwInterfaces & kKindBits[static_cast<std::size_t>(nLast)])) nFirst = nLast;
        m_app.nInitialPortKind = nFirst;
    } else {
        const int nKind = m_app.nInitialPortKind;
        if (nKind < 0 || nKind > 3 || !(row.dwInterfaces & kKindBits[static_cast<std::size_t>(nKind)])) {
            ShowError(LOC_KIND_NOT_OFFERED, ERROR_SHOWN_NO_KIND, "%s", LoadResString(IDS_PORT_NOT_SUPPORTED).c_str());
            return FALSE;
        }
    }
    const int nKind = m_app.nInitialPortKind;
    OnGuiThread([this, nKind, bSilent] {
        m_kinds[static_cast<std::size_t>(nKind)]->setChecked(true);
        if (!bSilent) EnableControls(true);
    });
    return TRUE;
}

// --- the dialog's own handlers ------------------------------------------------------------

void CKelvoDlg::EnableControls(bool bEnable) {
    if (m_app.TestFlags(UF_SILENT)) bEnable = false;
    const DWORD dwInterfaces = CurrentRow().dwInterfaces;
    for (std::size_t i = 0; i < 4; ++i) m_kinds[i]->setEnabled(bEnable && (dwInterfaces & kKindBits[i]));
    m_pSelect->setEnabled(bEnable);
    // While the dialog itself is disabled (the update files still loading) no widget
    // takes the focus: it waits for the dialog to be enabled.
    m_bFocusSelect = bEnable;
    if (bEnable && isEnabled()) {
        m_pSelect->setFocus();
        m_bFocusSelect = false;
    }
}

void CKelvoDlg::changeEvent(QEvent* pEvent) {
    QDialog::changeEvent(pEvent);
    if (pEvent->type() == QEvent::EnabledChange && isEnabled() && m_bFocusSelect && m_pSelect->isEnabled()) {
        m_pSelect->setFocus();
        m_bFocusSelect = false;
    }
}

void CKelvoDlg::ShowBusyLayout(bool bBusy) {
    const bool bSilent = m_app.TestFlags(UF_SILENT);
    const bool bChoice = !bSilent && !bBusy;
    const bool bShowBusy = !bSilent && bBusy;
    m_pTitle->setVisible(bChoice);
    m_pDestination->setVisible(bChoice);
    for (QRadioButton* p : m_kinds) p->setVisible(bChoice);
    m_pStatus->setVisible(bShowBusy);
    m_pProgress->setVisible(bShowBusy);
    m_pStep->setVisible(bShowBusy && m_step.has_value());
    if (!bShowBusy) m_pStepTimer->stop();
    m_pProgressBar->setVisible(bShowBusy && m_step.has_value());
    // Select stays where it is in either layout; silently no one presses it.
    m_pSelect->setVisible(!bSilent);
    PlaceProgressText();
}

void CKelvoDlg::PlaceProgressText() {
    // Wider scripts take more height for the status than the template allows for: the
    // progress line moves down below it, the bar below that, Select below the bar.
    DialogUnits du(font());
    const QRect status = m_pStatus->geometry();
    const int nStatusBottom = status.top() + m_pStatus->sizeHint().height();
    QRect progress = m_pProgress->geometry();
    progress.moveTop(std::max(m_nProgressTop, nStatusBottom + 2));
    m_pProgress->setGeometry(progress);
    const int nTextBottom = progress.top() + m_pProgress->sizeHint().height();
    QRect step = m_pStep->geometry();
    step.moveTop(nTextBottom + du.Y(1));
    m_pStep->setGeometry(step);
    const int nStepBottom = step.top() + m_pStep->sizeHint().height();
    m_pProgressBar->setGeometry(progress.left(), nStepBottom + du.Y(2), status.width(), du.Y(8));
    QRect select = m_pSelect->geometry();
    select.moveTop(std::max(m_nSelectTop, m_pProgressBar->geometry().bottom() + du.Y(4)));
    m_pSelect->setGeometry(select);
    const int nHeight = std::max({m_templateSize.height(), select.bottom() + du.Y(6), height()});
    if (nHeight != height()) setFixedHeight(nHeight);
}

void CKelvoDlg::FitToTexts() {
    DialogUnits du(font());
    const int nMargin = du.X(7);
    const int nIconGap = m_templateSize.width() - du.X(132);  // from the help icon to the right edge
    // Each label as large as its text; never smaller than its place in the template.
    int nWidth = std::max(m_templateSize.width(), width());
    for (QLabel* p : {m_pTitle, m_pDestination, m_pStatus, m_pProgress, m_pStep}) {
        const QSize hint = p->sizeHint();
        p->resize(std::max(p->width(), hint.width()), std::max(p->height(), hint.height()));
        nWidth = std::max(nWidth, p->x() + p->width() + nMargin);
    }
    // The texts at the top keep clear of the help icon in the corner.
    for (QLabel* p : {m_pTitle, m_pDestination, m_pStatus}) {
        nWidth = std::max(nWidth, p->x() + p->sizeHint().width() + du.X(2) + nIconGap);
    }
    for (QRadioButton* p : m_kinds) {
        p->resize(std::max(p->width(), p->sizeHint().width()), p->height());
        nWidth = std::max(nWidth, p->x() + p->width() + nMargin);
    }
    m_pSelect->resize(std::max(m_pSelect->width(), m_pSelect->sizeHint().width()), m_pSelect->height());
    nWidth = std::max(nWidth, m_pSelect->x() + m_pSelect->width() + nMargin);
    if (nWidth != width()) setFixedWidth(nWidth);
    m_pHelp->move(nWidth - nIconGap, m_pHelp->y());
    PlaceProgressText();
}

std::optional<ProgressStep> CKelvoDlg::StepOfText(const std::string& text) {
    std::lock_guard lock(m_stepsMutex);
    std::optional<ProgressStep> step = m_steps.OnText(text, GetTickCount());
    // The engine's text stays at 100 % while the printer restarts or stores and checks
    // what it received: the line says what it does meanwhile.
    if (step && step->EndsTransfer()) step = m_steps.AfterTransfer();
    return step;
}

void CKelvoDlg::ShowStep(const std::optional<ProgressStep>& step) {
    m_step = step;
    const bool bShown = m_step.has_value() && m_pProgress->isVisible();
    m_pStep->setVisible(bShown);
    m_pProgressBar->setVisible(bShown);
    if (m_step && m_step->bMeasured) {
        m_pProgressBar->setRange(0, 100);
        m_pProgressBar->setValue(m_step->nPercent);
    } else {
        m_pProgressBar->setRange(0, 0);  // busy: no percentage to show
    }
    UpdateStepLine();
    if (m_step && m_step->kind == StepKind::RestartWait) {
        if (!m_pStepTimer->isActive()) m_pStepTimer->start();
    } else {
        m_pStepTimer->stop();
    }
}

void CKelvoDlg::UpdateStepLine() {
    QString line;
    if (m_step) {
        line = Q(m_step->kind == StepKind::RestartWait ? RestartWaitName(m_language, m_workers.WaitLeft())
                                                        : m_step->strName);
    }
    if (line == m_pStep->text()) return;
    m_pStep->setText(line);
    FitToTexts();
}

void CKelvoDlg::WaitForLastWorker(const char* pszNote) {
    if (!m_bWorkerHeld) return;
    LogMessage(LOG_APP, 'I', __LINE__, 0, "%s", pszNote);
    m_workers.Wait(INFINITE);
    m_bWorkerHeld = false;
}

void CKelvoDlg::OnSelect() {
    if (m_bEnding) return;
    EnableControls(false);
    m_app.ClearFlags(UF_CANCEL | UF_RETRY | UF_RETRY_REQUESTED);
    WaitForLastWorker("Wait for last thread...");
    int nKind = -1;
    for (int i = 0; i < 4 && nKind < 0; ++i) {
        if (m_kinds[static_cast<std::size_t>(i)]->isChecked()) nKind = i;
    }
    if (nKind < 0) {
        if (m_app.TestFlags(UF_SILENT)) {
            EndSilentWithout(ERROR_INVALID_PRINTER_NAME);
        } else {
            EnableControls(true);
        }
        return;
    }
    m_app.nPortKind = nKind;
    if (!m_app.TestFlags(UF_SILENT)) m_app.nLastPortKind = nKind;
    std::string name;
    if (m_pPortList->Run(nKind, m_utils[static_cast<std::size_t>(nKind)], &name) != IDOK) {
        if (m_app.TestFlags(UF_SILENT)) {
            EndSilentWithout(m_pPortList->FoundCount() < 1 ? ERROR_DEVICE_NOT_CONNECTED : ERROR_CANCELLED);
        } else {
            EnableControls(true);
        }
        return;
    }
    if (name.size() > RUN_PORT_NAME_MAX) {
        // The run would refuse it (a shorter cut could name another port): the user hears
        // why before anything starts.
        LogMessage(LOG_ERROR, 'E', __LINE__, ERROR_FILENAME_EXCED_RANGE, "Port name too long [%zu]", name.size());
        ShowMessage(MB_ICONERROR, IDOK, LoadResString(IDS_PORT_NAME_TOO_LONG).c_str(),
                    static_cast<unsigned>(name.size()), static_cast<unsigned>(RUN_PORT_NAME_MAX), name.c_str());
        if (m_app.TestFlags(UF_SILENT)) {
            EndSilentWithout(ERROR_FILENAME_EXCED_RANGE);
        } else {
            EnableControls(true);
        }
        return;
    }
    m_app.szPortName = name;
    StartUpdate(false);
}

void CKelvoDlg::EndSilentWithout(DWORD dwResult) {
    // Nothing was updated: the installer must hear so, not the initialisation's success.
    m_app.nExitCode = dwResult;
    LogMessage(LOG_APP, 'I', __LINE__, dwResult, "No port chosen; ending the silent run");
    QTimer::singleShot(m_nSilentCloseMs, this, [this] { OnClose(); });
}

void CKelvoDlg::StartUpdate(bool bRetry) {
    if (m_workers.StartUpdate(*this, bRetry)) {
        m_bWorkerHeld = true;
        m_bUpdateHeld = true;
        return;
    }
    DWORD dwError = GetLastError();
    LogMessage(LOG_ERROR, 'E', __LINE__, dwError, "Update thread not started");
    m_app.nExitCode = dwError != ERROR_SUCCESS ? dwError : ERROR_NOT_ENOUGH_MEMORY;
    if (m_app.TestFlags(UF_SILENT)) {
        QTimer::singleShot(m_nSilentCloseMs, this, [this] { OnClose(); });
        return;
    }
    ShowBusyLayout(false);
    EnableControls(true);
}

void CKelvoDlg::OnRetry() {
    // After a close signal the run that asked is the last one: the dialog closes when it
    // has ended.
    if (m_bEnding || m_nCloseSignals > 0) return;
    // The workers wait for the run that asked and switch the flags in one step.
    m_bWorkerHeld = false;
    StartUpdate(true);
}

void CKelvoDlg::OnClose() {
    if (m_bEnding || !isVisible()) return;
    if (!m_bWorkerHeld) {
        EndDialog();
        return;
    }
    if (m_workers.Wait(CLOSE_WAIT_MS) == WAIT_OBJECT_0) {
        m_bWorkerHeld = false;
        EndDialog();
        return;
    }
    if (m_app.TestFlags(UF_SILENT)) {
        m_app.SetFlags(UF_CANCEL);
        // The run may have asked for the end itself and still be finishing (the help
        // page after a failed retry run): a silent dialog ends as soon as it has, and
        // never waits for a second request that no one sends.
        CloseWhenWorkerEnds();
        return;
    }
    ShowError(LOC_CANNOT_QUIT, ERROR_SHOWN_CANNOT_QUIT, "%s", LoadResString(IDS_CANNOT_QUIT).c_str());
}

void CKelvoDlg::CloseWhenWorkerEnds() {
    if (m_pCloseTimer != nullptr) return;
    m_pCloseTimer = new QTimer(this);
    connect(m_pCloseTimer, &QTimer::timeout, this, [this] {
        if (m_bEnding || m_workers.Wait(0) != WAIT_OBJECT_0) return;
        m_pCloseTimer->stop();
        m_bWorkerHeld = false;
        EndDialog();
    });
    m_pCloseTimer->start(static_cast<int>(CLOSE_WAIT_MS));
}

void CKelvoDlg::reject() { OnClose(); }

void CKelvoDlg::OnCloseSignal(int nSignal) {
    const int nCount = ++m_nCloseSignals;
    // The initialisation ends by itself soon; only an update is cancelled and waited for.
    const bool bRunning = m_bWorkerHeld && m_bUpdateHeld && m_workers.Wait(0) != WAIT_OBJECT_0;
    LogMessage(LOG_APP, 'I', __LINE__, 0, "Close signal %d received [%d]", nSignal, nCount);
    if (!bRunning) {
        if (nCount == 1) SignalNotice(StrPrintf("Signal %d: closing.", nSignal));
        DismissModalWindows(this);
        // The loops of the dismissed windows unwind first; then the dialog ends.
        QMetaObject::invokeMethod(this, [this] { if (!m_bEnding) EndDialog(); }, Qt::QueuedConnection);
        return;
    }
    if (nCount == 1) {
        SignalNotice(StrPrintf("Signal %d: cancelling the update; the program ends when the run has ended. "
                               "Signal again to quit sooner.", nSignal));
        m_app.SetFlags(UF_CANCEL);
        // No question waits for an answer any more: a run blocked on a box ends too.
        if (m_ending) m_ending();
        DismissModalWindows(this);
        CloseWhenWorkerEnds();
        return;
    }
    SignalNotice("Quitting: starting again the services the update stopped and restoring the serial defaults "
                 "(a few seconds at most)...");
    QuitLeavingWorker(ERROR_CANCELLED, "Quitting after the second close signal");
}

void CKelvoDlg::QuitLeavingWorker(DWORD dwResult, const char* pszWhy) {
    m_workers.RestoreMachine();
    LogMessage(LOG_APP, 'I', __LINE__, dwResult, "%s", pszWhy);
    SignalNotice("Services started again and serial defaults restored.");
    // The normal end's write-back is never reached: the choices of this run are kept now.
    WriteBackSettings();
    m_app.nExitCode = dwResult;
    if (m_quit) m_quit();
}

void CKelvoDlg::AbandonWorker() {
    // No thread can be ended from outside safely; the process ends in its place, leaving
    // the machine as the worker found it.
    LogMessage(LOG_ERROR, 'E', __LINE__, ERROR_TIMEOUT, "Worker did not end; ending the program");
    QuitLeavingWorker(ERROR_TIMEOUT, "Quitting after the worker was given up");
}

void CKelvoDlg::SignalNotice(const std::string& text) {
    if (m_signalNotice) m_signalNotice(text);
}

void CKelvoDlg::OnHelpIcon() {
    if (!m_launchUrl) return;
    // The launch waits for the opener (up to LAUNCH_WAIT): never on the dialog's thread.
    // A click while one is still starting opens nothing more.
    if (!m_helpLaunch.HasEnded()) {
        LogMessage(LOG_ACTION, 'A', __LINE__, 0, "Help page launch still running");
        return;
    }
    m_helpLaunch.WaitForEnd(0);
    if (!m_helpLaunch.Start([launch = m_launchUrl, url = SupportPageUrl(HELP_PAGE_MAIN)] { launch(url.c_str()); })) {
        LogMessage(LOG_ERROR, 'E', __LINE__, GetLastError(), "Help page launch not started");
    }
}

void CKelvoDlg::ShowAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CKelvoDlg::BringForward(const QString& token) {
    if (isMinimized()) showNormal();
    show();
    raise();
    // A modal window open above the dialog is where the user's answer is awaited.
    QWidget* pTarget = QApplication::activeModalWidget();
    if (pTarget == nullptr || pTarget == this) {
        ActivateWithToken(this, token);
        return;
    }
    if (pTarget->isMinimized()) pTarget->showNormal();
    pTarget->show();
    pTarget->raise();
    ActivateWithToken(pTarget, token);
}
