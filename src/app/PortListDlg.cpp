#include "app/PortListDlg.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>

#include "app/DialogUnits.h"
#include "discovery/UtilTcp.h"
#include "log/Log.h"
#include "platform/Text.h"
#include "ui/StringTable.h"
#include "ui/Util.h"

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }
QString Res(DWORD dwId) { return Q(LoadResString(dwId)); }

DWORD HeadingOfKind(int nPortKind) {
    switch (nPortKind) {
        case 0: return IDS_SPECIFY_USB;
        case 1: return IDS_SPECIFY_BLUETOOTH;
        case 2: return IDS_SPECIFY_ETHERNET;
        default: return IDS_SPECIFY_SERIAL;
    }
}
constexpr int kSerialKind = 3;
constexpr int kLanKind = 2;
constexpr int kTypedRole = Qt::UserRole + 1;  // the line holds an address the user typed
constexpr DWORD kLowestBaudRate = 9600;
constexpr std::size_t kNoteMax = 63;
constexpr std::size_t kLineMax = 255;

// Flow control as the settings dialog offers it.
enum Flow { FLOW_NONE, FLOW_XONXOFF, FLOW_HARDWARE };

Flow FlowOf(const DCB& dcb) {
    if (dcb.fOutX || dcb.fInX) return FLOW_XONXOFF;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) return FLOW_HARDWARE;
    return FLOW_NONE;
}

void SetFlow(DCB& dcb, Flow flow) {
    dcb.fOutX = dcb.fInX = flow == FLOW_XONXOFF;
    dcb.fOutxCtsFlow = flow == FLOW_HARDWARE;
    dcb.fRtsControl = flow == FLOW_HARDWARE   ? RTS_CONTROL_HANDSHAKE
                      : flow == FLOW_XONXOFF ? RTS_CONTROL_ENABLE
                                             : RTS_CONTROL_DISABLE;
}

void SelectData(QComboBox* pBox, int nValue) {
    int i = pBox->findData(nValue);
    if (i >= 0) pBox->setCurrentIndex(i);
}

std::string Note(DWORD dwId) { return std::string(Utf8Prefix(LoadResString(dwId), kNoteMax)); }

}  // namespace

// --- list ---------------------------------------------------------------------------------

void CListWidgetPortList::Clear() { m_pList->clear(); }

int CListWidgetPortList::AddSorted(const std::string& line) {
    const QString text = Q(line);
    int i = 0;
    // Same order as the list box's own sort: the first line that compares greater.
    while (i < m_pList->count() && QString::compare(m_pList->item(i)->text(), text, Qt::CaseInsensitive) <= 0) ++i;
    m_pList->insertItem(i, text);
    return i;
}

int CListWidgetPortList::Append(const std::string& line) {
    m_pList->addItem(Q(line));
    return m_pList->count() - 1;
}

int CListWidgetPortList::Count() const { return m_pList->count(); }

// --- serial settings ------------------------------------------------------------------------

CSerialSettingsDlg::CSerialSettingsDlg(const std::string& portName, const COMMCONFIG& config, QWidget* pParent)
    : QDialog(pParent), m_base(config) {
    setWindowTitle(Q(portName));
    auto* pForm = new QFormLayout;
    m_pBaud = new QComboBox(this);
    for (int nBaud : {110, 300, 600, 1200, 2400, 4800, 9600, 14400, 19200, 38400, 57600, 115200, 230400, 460800, 921600}) {
        m_pBaud->addItem(QString::number(nBaud), nBaud);
    }
    m_pByteSize = new QComboBox(this);
    for (int n : {5, 6, 7, 8}) m_pByteSize->addItem(QString::number(n), n);
    m_pParity = new QComboBox(this);
    m_pParity->addItem(Res(IDS_PARITY_NONE), NOPARITY);
    m_pParity->addItem(Res(IDS_PARITY_ODD), ODDPARITY);
    m_pParity->addItem(Res(IDS_PARITY_EVEN), EVENPARITY);
    m_pParity->addItem(Res(IDS_PARITY_MARK), MARKPARITY);
    m_pParity->addItem(Res(IDS_PARITY_SPACE), SPACEPARITY);
    m_pStopBits = new QComboBox(this);
    m_pStopBits->addItem("1", ONESTOPBIT);
    m_pStopBits->addItem("1.5", ONE5STOPBITS);
    m_pStopBits->addItem("2", TWOSTOPBITS);
    m_pFlow = new QComboBox(this);
    m_pFlow->addItem(Res(IDS_FLOW_NONE), FLOW_NONE);
    m_pFlow->addItem(Res(IDS_FLOW_XONXOFF), FLOW_XONXOFF);
    m_pFlow->addItem(Res(IDS_FLOW_HARDWARE_ITEM), FLOW_HARDWARE);
    // Each label's mnemonic moves the focus to its field.
    pForm->addRow(Res(IDS_BITS_PER_SECOND), m_pBaud);
    pForm->addRow(Res(IDS_DATA_BITS), m_pByteSize);
    pForm->addRow(Res(IDS_PARITY), m_pParity);
    pForm->addRow(Res(IDS_STOP_BITS), m_pStopBits);
    pForm->addRow(Res(IDS_FLOW_CONTROL), m_pFlow);
    auto* pButtons = new QDialogButtonBox(this);
    m_pOk = pButtons->addButton(Res(IDS_OK), QDialogButtonBox::AcceptRole);
    m_pCancel = pButtons->addButton(Res(IDS_CANCEL), QDialogButtonBox::RejectRole);
    m_pOk->setDefault(true);
    connect(pButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(pButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addLayout(pForm);
    pLayout->addWidget(pButtons);
    SetConfig(config);
}

void CSerialSettingsDlg::SetConfig(const COMMCONFIG& config) {
    m_base = config;
    const DCB& dcb = config.dcb;
    int iBaud = m_pBaud->findData(static_cast<int>(dcb.BaudRate));
    if (iBaud < 0) {
        // A rate outside the usual list still shows as it is.
        m_pBaud->addItem(QString::number(dcb.BaudRate), static_cast<int>(dcb.BaudRate));
        iBaud = m_pBaud->count() - 1;
    }
    m_pBaud->setCurrentIndex(iBaud);
    SelectData(m_pByteSize, dcb.ByteSize);
    SelectData(m_pParity, dcb.Parity);
    SelectData(m_pStopBits, dcb.StopBits);
    SelectData(m_pFlow, FlowOf(dcb));
}

COMMCONFIG CSerialSettingsDlg::Config() const {
    COMMCONFIG config = m_base;
    DCB& dcb = config.dcb;
    dcb.BaudRate = static_cast<DWORD>(m_pBaud->currentData().toInt());
    dcb.ByteSize = static_cast<BYTE>(m_pByteSize->currentData().toInt());
    dcb.Parity = static_cast<BYTE>(m_pParity->currentData().toInt());
    dcb.fParity = dcb.Parity != NOPARITY;
    dcb.StopBits = static_cast<BYTE>(m_pStopBits->currentData().toInt());
    const Flow flow = static_cast<Flow>(m_pFlow->currentData().toInt());
    if (flow != FlowOf(m_base.dcb)) SetFlow(dcb, flow);
    return config;
}

BOOL EditComConfigInDialog(QWidget* pParent, const std::string& portName, COMMCONFIG* pConfig) {
    CSerialSettingsDlg dlg(portName, *pConfig, pParent);
    if (dlg.exec() != QDialog::Accepted) return FALSE;
    *pConfig = dlg.Config();
    return TRUE;
}

void RunComSettingsLoop(ComConfigRecord& record, const ComConfigEditor& editor, bool bSilent) {
    for (;;) {
        COMMCONFIG work = record.ccChosen;
        if (!editor(record.pszPortName, &work)) return;
        if (!bSilent) {
            if (work.dcb.BaudRate < kLowestBaudRate) {
                ShowMessage(MB_ICONEXCLAMATION, IDOK, "%s", LoadResString(IDS_BAUDRATE_NOT_SUPPORTED).c_str());
                continue;
            }
            if (work.dcb.Parity == MARKPARITY || work.dcb.Parity == SPACEPARITY) {
                ShowMessage(MB_ICONEXCLAMATION, IDOK, "%s", LoadResString(IDS_PARITY_NOT_SUPPORTED).c_str());
                continue;
            }
            DCB& dcb = work.dcb;
            std::string byteNote, stopNote, flowNote;
            if (dcb.ByteSize != 8) {
                dcb.ByteSize = 8;
                byteNote = Note(IDS_BYTE_SIZE_8);
            }
            if (dcb.StopBits != ONESTOPBIT) {
                dcb.StopBits = ONESTOPBIT;
                stopNote = Note(IDS_STOP_BIT_1);
            }
            if (dcb.fRtsControl == RTS_CONTROL_DISABLE) {
                dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
                dcb.fOutxCtsFlow = 1;
                dcb.fOutX = dcb.fInX = 0;
                flowNote = Note(IDS_FLOW_HARDWARE);
            }
            dcb.fDtrControl = DTR_CONTROL_ENABLE;
            if (!byteNote.empty() || !stopNote.empty() || !flowNote.empty()) {
                ShowMessage(MB_ICONEXCLAMATION, IDOK, LoadResString(IDS_SETTING_NOT_SUPPORTED).c_str(),
                            byteNote.c_str(), stopNote.c_str(), flowNote.c_str());
            }
        }
        record.ccChosen = work;
        LogMessage(LOG_ACTION, 'A', __LINE__, 0, "Serial settings [%s] [%s]", record.pszPortName.c_str(),
                   CommConfigString(work.dcb).c_str());
        return;
    }
}

// --- port list ------------------------------------------------------------------------------

CPortListDlg::CPortListDlg(std::shared_ptr<ComConfigRecord>* pSlot, QWidget* pParent)
    : QDialog(pParent), m_pSlot(pSlot) {
    setWindowTitle(KELVO_CAPTION);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    m_pHeading = new QLabel(this);
    m_pList = new QListWidget(this);
    m_pList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pSettings = new QPushButton(this);
    m_pUpdate = new QPushButton(this);
    m_pCancel = new QPushButton(this);
    // Enter presses the button that has the focus, else Update. A button that is not
    // auto-default would hand Enter on to Update: Enter on a focused Cancel would then
    // start a firmware update.
    m_pUpdate->setDefault(true);
    for (QPushButton* p : {m_pUpdate, m_pSettings, m_pCancel}) p->setAutoDefault(true);

    m_pAddressLabel = new QLabel(this);
    m_pAddress = new QLineEdit(this);
    m_pAddress->setMaxLength(64);
    m_pAddress->setPlaceholderText("192.168.0.10");
    m_pAddressLabel->setBuddy(m_pAddress);
    m_pAdd = new QPushButton(this);
    m_pAdd->setAutoDefault(false);
    m_pAddress->installEventFilter(this);
    PlaceControls(false);

    connect(m_pList, &QListWidget::itemSelectionChanged, this, [this] { OnSelectionChanged(); });
    connect(m_pUpdate, &QPushButton::clicked, this, &QDialog::accept);
    connect(m_pCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_pSettings, &QPushButton::clicked, this, [this] { OnSettings(); });
    connect(m_pAdd, &QPushButton::clicked, this, [this] { AddTypedAddress(); });
    m_editor = [this](const std::string& name, COMMCONFIG* pConfig) { return EditComConfigInDialog(this, name, pConfig); };
}

void CPortListDlg::PlaceControls(bool bAddressRow) {
    DialogUnits du(font());
    m_pHeading->setGeometry(du.Rect(7, 7, 209, 8));
    m_pList->setGeometry(du.Rect(7, 17, 209, 44));
    // The LAN kind's address row sits between the list and the buttons.
    const int nButtons = bAddressRow ? 95 : 64;
    m_pAddressLabel->setGeometry(du.Rect(7, 65, 209, 10));
    m_pAddress->setGeometry(du.Rect(7, 76, 150, 14));
    m_pAdd->setGeometry(du.Rect(162, 76, 54, 14));
    for (QWidget* p : {static_cast<QWidget*>(m_pAddressLabel), static_cast<QWidget*>(m_pAddress),
                       static_cast<QWidget*>(m_pAdd)}) {
        p->setVisible(bAddressRow);
    }
    m_pSettings->setGeometry(du.Rect(7, nButtons, 54, 14));
    m_pUpdate->setGeometry(du.Rect(91, nButtons, 68, 14));
    m_pCancel->setGeometry(du.Rect(162, nButtons, 54, 14));
    QSize size = du.Size(223, nButtons + 21);
    // Every text on one line: a wider one widens the dialog instead of being broken.
    const int nRight = du.X(7);
    for (QWidget* p : {static_cast<QWidget*>(m_pHeading), static_cast<QWidget*>(m_pAddressLabel)}) {
        size.setWidth(std::max(size.width(), p->x() + p->sizeHint().width() + nRight));
    }
    setFixedSize(size);
    const int nWidth = size.width() - m_pHeading->x() - nRight;
    m_pHeading->resize(nWidth, m_pHeading->height());
    m_pList->resize(nWidth, m_pList->height());
    m_pAddressLabel->resize(nWidth, m_pAddressLabel->height());
}

void CPortListDlg::SetTexts(int nPortKind) {
    m_pHeading->setText(Res(HeadingOfKind(nPortKind)));
    m_pUpdate->setText(Res(IDS_UPDATE));
    m_pCancel->setText(Res(IDS_CANCEL));
    m_pSettings->setText(Res(IDS_SETTINGS));
    m_pAddressLabel->setText(Res(IDS_TYPE_ADDRESS));
    m_pAdd->setText(Res(IDS_ADD));
}

bool CPortListDlg::eventFilter(QObject* pWatched, QEvent* pEvent) {
    if (pWatched == m_pAddress && pEvent->type() == QEvent::KeyPress) {
        auto* pKey = static_cast<QKeyEvent*>(pEvent);
        if (pKey->key() == Qt::Key_Return || pKey->key() == Qt::Key_Enter) {
            AddTypedAddress();
            return true;
        }
    }
    return QDialog::eventFilter(pWatched, pEvent);
}

void CPortListDlg::AddTypedAddress() {
    const std::string text = m_pAddress->text().toStdString();
    const std::optional<std::uint32_t> addr = TypedPrinterAddress(text);
    if (!addr) {
        ShowMessage(MB_ICONEXCLAMATION, IDOK, LoadResString(IDS_NOT_AN_ADDRESS).c_str(), text.c_str());
        m_pAddress->setFocus();
        m_pAddress->selectAll();
        return;
    }
    const std::string dotted = DottedAddress(*addr);
    m_pAddress->setText(Q(dotted));
    int nRow = -1;
    for (int i = 0; i < m_pList->count() && nRow < 0; ++i) {
        if (PortNameOfLine(m_pList->item(i)->text().toStdString()) == dotted) nRow = i;
    }
    if (nRow < 0) {
        // The line of a typed address keeps the list's form: the address before the TAB.
        auto* pItem = new QListWidgetItem(Q(StrPrintf(LoadResString(IDS_TYPED_ADDRESS_LINE).c_str(), dotted.c_str())));
        pItem->setData(kTypedRole, true);
        m_pList->addItem(pItem);
        nRow = m_pList->count() - 1;
    }
    m_pList->setCurrentRow(nRow);
    m_pUpdate->setFocus();
    LogMessage(LOG_ACTION, 'A', __LINE__, 0, "Typed address [%s]", dotted.c_str());
}

int CPortListDlg::Run(int nPortKind, CUtilPort* pUtil, std::string* pPortName) {
    m_nPortKind = nPortKind;
    m_nLastSel = -1;
    m_chosen.clear();
    SetTexts(nPortKind);
    const bool bLan = nPortKind == kLanKind;
    // Silently no one types: the LAN list is the discovered one only.
    const bool bTyping = bLan && !IsSilentMode();
    PlaceControls(bTyping);
    m_pAddress->clear();
    if (bTyping && m_pTargetName != nullptr && m_pIpAddr != nullptr) {
        if (TypedPrinterAddress(*m_pTargetName)) {
            m_pAddress->setText(Q(*m_pTargetName));
        } else if (*m_pIpAddr != 0 && TypedPrinterAddress(DottedAddress(*m_pIpAddr))) {
            m_pAddress->setText(Q(DottedAddress(*m_pIpAddr)));
        }
    }
    setEnabled(true);
    m_pUpdate->setEnabled(true);
    m_pSettings->setVisible(false);

    // Discovery runs before the window shows; the list signals nothing meanwhile.
    m_pList->blockSignals(true);
    CListWidgetPortList list(m_pList);
    list.Clear();
    m_nFound = pUtil != nullptr ? pUtil->EnumPorts(&list, m_entries) : 0;
    const bool bSerial = nPortKind == kSerialKind;
    if (m_nFound >= 1 && !bSerial) m_pList->setCurrentRow(0);
    m_pList->blockSignals(false);
    if (bSerial) {
        m_pUpdate->setEnabled(false);
        m_pSettings->setVisible(true);
        m_pSettings->setEnabled(false);
        m_pSlot->reset();
        // The only port is the one to choose: its record is made as on a click.
        if (m_nFound == 1) m_pList->setCurrentRow(0);
    }
    if (m_nFound < 1) {
        ShowError(LOC_NO_PORT_FOUND, ERROR_SHOWN_NO_PORT_FOUND, "%s", LoadResString(IDS_NO_PORT_FOUND).c_str());
        if (!bTyping) return IDCANCEL;
        m_pUpdate->setEnabled(false);
        // The box said nothing was found; the list says why it opens anyway: the address
        // is the way left, and typing can start at once.
        m_pAddressLabel->setText(Res(IDS_NO_PRINTER_ANSWERED));
        PlaceControls(true);
        m_pAddress->setFocus();
        m_pAddress->selectAll();
    }
    if (m_shownHook) QTimer::singleShot(0, this, [this] { m_shownHook(*this); });
    if (exec() != QDialog::Accepted) return IDCANCEL;
    *pPortName = m_chosen;
    return IDOK;
}

void CPortListDlg::OnSelectionChanged() {
    const int nSel = m_pList->currentRow();
    const bool bSelected = nSel >= 0 && !m_pList->selectedItems().isEmpty();
    m_pUpdate->setEnabled(bSelected);
    m_pSettings->setEnabled(bSelected);
    if (!bSelected || m_nPortKind != kSerialKind || nSel == m_nLastSel) return;
    std::string name = PortNameOfLine(m_pList->item(nSel)->text().toStdString());
    name = std::string(Utf8Prefix(name, kLineMax));
    *m_pSlot = std::make_shared<ComConfigRecord>(NewComConfigRecord(name.c_str()));
    m_nLastSel = nSel;
}

void CPortListDlg::OnSettings() {
    if (m_nPortKind != kSerialKind || !*m_pSlot) return;
    RunComSettingsLoop(**m_pSlot, m_editor, IsSilentMode());
}

void CPortListDlg::accept() {
    setEnabled(false);
    std::string line;
    QList<QListWidgetItem*> selected = m_pList->selectedItems();
    if (!selected.isEmpty()) line = std::string(Utf8Prefix(selected.front()->text().toStdString(), kLineMax));
    m_chosen = std::string(Utf8Prefix(PortNameOfLine(line), 260));
    if (!selected.isEmpty() && selected.front()->data(kTypedRole).toBool() && m_pTargetName != nullptr &&
        m_pIpAddr != nullptr) {
        if (std::optional<std::uint32_t> addr = TypedPrinterAddress(m_chosen)) {
            *m_pTargetName = m_chosen;
            *m_pIpAddr = *addr;
        }
    }
    QDialog::accept();
}
