#pragma once
// The port list dialog: the discovery of the chosen kind fills the list, the user picks
// a line, Update hands its port name back. For serial ports it holds the chosen port's
// configuration record and edits it in the serial settings dialog.
#include <QDialog>
#include <QListWidget>

#include <array>
#include <functional>
#include <memory>
#include <string>

#include "discovery/UtilPort.h"
#include "platform/Types.h"
#include "port/ComConf.h"

class QLabel;
class QLineEdit;
class QPushButton;
class QComboBox;

inline constexpr int PORT_ENTRY_SLOTS = 256;
inline constexpr int IDC_PORT_HEADING = 1055;
inline constexpr int IDC_PORT_LIST = 1045;
inline constexpr int IDC_PORT_SETTINGS = 3;

// Location and code of the "No port or printer found." box.
inline constexpr DWORD LOC_NO_PORT_FOUND = 0x070401;
inline constexpr DWORD ERROR_SHOWN_NO_PORT_FOUND = 0x200010DF;

// A discovery's list over a list widget. AddSorted keeps the lines in sorted order,
// Append keeps the order of discovery.
class CListWidgetPortList : public IPortList {
public:
    explicit CListWidgetPortList(QListWidget* pList) noexcept : m_pList(pList) {}
    void Clear() override;
    int AddSorted(const std::string& line) override;
    int Append(const std::string& line) override;
    int Count() const override;

private:
    QListWidget* m_pList;
};

// The serial settings dialog: baud rate, byte size, parity, stop bits and flow control of
// a configuration record, in the user's language, each field reached by its label's
// mnemonic. Main thread.
class CSerialSettingsDlg : public QDialog {
public:
    CSerialSettingsDlg(const std::string& portName, const COMMCONFIG& config, QWidget* pParent);
    // The settings the controls now show (only the members they edit are changed).
    COMMCONFIG Config() const;
    void SetConfig(const COMMCONFIG& config);

    QComboBox* BaudRate() const { return m_pBaud; }
    QComboBox* ByteSize() const { return m_pByteSize; }
    QComboBox* Parity() const { return m_pParity; }
    QComboBox* StopBits() const { return m_pStopBits; }
    QComboBox* FlowControl() const { return m_pFlow; }
    QPushButton* OkButton() const { return m_pOk; }
    QPushButton* CancelButton() const { return m_pCancel; }

private:
    COMMCONFIG m_base;
    QComboBox* m_pBaud;
    QComboBox* m_pByteSize;
    QComboBox* m_pParity;
    QComboBox* m_pStopBits;
    QComboBox* m_pFlow;
    QPushButton* m_pOk;
    QPushButton* m_pCancel;
};

// Edits a working configuration in place: TRUE when the user confirmed, FALSE when the
// user cancelled (the configuration is then to be ignored). Main thread, modal.
using ComConfigEditor = std::function<BOOL(const std::string& portName, COMMCONFIG* pConfig)>;

// The settings loop over the record: the editor opens with the chosen settings; rejected
// baud rates (below 9600) and parities (mark, space) are refused with messages 168 and
// 173 and the editor opens again; byte size, stop bits and flow control the printer
// does not take are set right and listed in message 175; DTR is always enabled. In
// silent mode the edited settings are taken as they are. Main thread; blocks while the
// editor and the boxes are open.
void RunComSettingsLoop(ComConfigRecord& record, const ComConfigEditor& editor, bool bSilent);

class CPortListDlg : public QDialog {
public:
    // pSlot: where the serial configuration record of the chosen line lives (the
    // application's serial configuration slot); it is replaced on each new selection.
    CPortListDlg(std::shared_ptr<ComConfigRecord>* pSlot, QWidget* pParent = nullptr);

    // One run for a kind: discovers through pUtil (null finds nothing), shows the list
    // and returns IDOK with the chosen port name in *pPortName, or IDCANCEL (name
    // unchanged). Without a port the list is not shown: message 227, then IDCANCEL;
    // except for the LAN kind with a user to ask, where the list then opens for a typed
    // address. A single serial port is preselected. Main thread; blocks for the discovery
    // and while the dialog is open.
    int Run(int nPortKind, CUtilPort* pUtil, std::string* pPortName);
    // The number of ports the last run's discovery found.
    int FoundCount() const noexcept { return m_nFound; }

    // The settings dialog used by the Settings button (tests replace it).
    void SetConfigEditor(ComConfigEditor editor) { m_editor = std::move(editor); }
    // Called once the list is shown, with this dialog (tests and screenshots drive it).
    void SetShownHook(std::function<void(CPortListDlg&)> hook) { m_shownHook = std::move(hook); }
    // Where the LAN address the user typed is remembered (the settings TargetName and
    // IpAddr, host order): it fills the address field at the next run, and an address
    // typed and chosen is stored there on Update. Null: nothing is remembered.
    void SetAddressMemory(std::string* pTargetName, DWORD* pIpAddr) {
        m_pTargetName = pTargetName;
        m_pIpAddr = pIpAddr;
    }
    // The LAN kind's typed address: valid text adds a line of its own (or selects the
    // discovered line of that address); anything else is refused with a message.
    void AddTypedAddress();

    QLabel* Heading() const { return m_pHeading; }
    QListWidget* List() const { return m_pList; }
    QPushButton* UpdateButton() const { return m_pUpdate; }
    QPushButton* CancelButton() const { return m_pCancel; }
    QPushButton* SettingsButton() const { return m_pSettings; }
    QLabel* AddressLabel() const { return m_pAddressLabel; }
    QLineEdit* AddressField() const { return m_pAddress; }
    QPushButton* AddButton() const { return m_pAdd; }

    void accept() override;

protected:
    // Enter in the address field adds the address instead of pressing Update.
    bool eventFilter(QObject* pWatched, QEvent* pEvent) override;

private:
    void SetTexts(int nPortKind);
    void PlaceControls(bool bAddressRow);
    void OnSelectionChanged();
    void OnSettings();

    std::shared_ptr<ComConfigRecord>* m_pSlot;
    QLabel* m_pHeading;
    QListWidget* m_pList;
    QPushButton* m_pSettings;
    QPushButton* m_pUpdate;
    QPushButton* m_pCancel;
    QLabel* m_pAddressLabel;
    QLineEdit* m_pAddress;
    QPushButton* m_pAdd;
    std::string* m_pTargetName = nullptr;
    DWORD* m_pIpAddr = nullptr;
    std::array<std::string, PORT_ENTRY_SLOTS> m_entries;
    int m_nPortKind = 0;
    int m_nLastSel = -1;
    int m_nFound = 0;
    std::string m_chosen;
    ComConfigEditor m_editor;
    std::function<void(CPortListDlg&)> m_shownHook;
};

// The serial settings dialog as a configuration editor.
BOOL EditComConfigInDialog(QWidget* pParent, const std::string& portName, COMMCONFIG* pConfig);
