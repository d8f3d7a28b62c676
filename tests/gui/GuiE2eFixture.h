#pragma once
// The desktop program against the simulated printer: the real dialog, the engine's
// worker threads, the port service with its LAN driver, and a simulated LAN printer on a
// loopback address of its own. The LAN search is replaced by a list naming that address
// (a broadcast search may only run in a network namespace of the test's own). A transport
// of another kind (GuiTransport) puts its printer where the front end's own discovery of
// that kind finds it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/FrontEnd.h"
#include "app/KelvoDlg.h"
#include "app/PortListDlg.h"
#include "app/Workers.h"
#include "config/ConfigFile.h"
#include "engine/Kelvo.h"
#include "engine/Thread.h"
#include "log/Log.h"
#include "platform/Text.h"
#include "platform/WinError.h"
#include "port/Icmp.h"
#include "sim/FirmwareImage.h"
#include "sim/Sim.h"
#include "support/SimLan.h"
#include "support/StoredImages.h"
#include "support/TempDir.h"
#include "ui/StringTable.h"
#include "ui/Util.h"

// How a printer of another kind than LAN is reached. The services a run stops and starts
// are never the machine's: without a stand-in of the transport's own, the system bus and
// the CUPS server point at nothing in the test's root.
class GuiTransport {
public:
    virtual ~GuiTransport() = default;
    virtual int Kind() const = 0;
    // Starts the stand-ins the printer needs under root; the reason when they cannot run
    // here (the test is then skipped).
    virtual std::string Prepare(const std::string& root) = 0;
    virtual std::unique_ptr<sim::Printer> Start(sim::Config config, const std::string& root) = 0;
};

class CListedPrinter : public CUtilPort {
public:
    explicit CListedPrinter(std::string address) : m_address(std::move(address)) {}
    int EnumPorts(IPortList* pList, std::span<std::string>) override {
        pList->Clear();
        pList->Append(m_address + "\t [\"SIM\", 02:4B:56:00:00:01]");
        return 1;
    }

private:
    std::string m_address;
};

inline std::string UniqueGuiAddress() {
    static std::atomic<int> n{0};
    return "127.87." + std::to_string(::getpid() % 250 + 1) + "." + std::to_string(++n % 250 + 1);
}

class GuiE2e : public ::testing::Test {
protected:
    static constexpr BYTE kTypeId = 0x22;

    void SetUp() override {
        if (!m_pTransport && !CIcmpEcho().Valid())
            GTEST_SKIP() << "no ICMP echo socket here (ping_group_range, no CAP_NET_RAW)";
        std::filesystem::create_directories(m_root / "var/log");
        std::filesystem::create_directories(m_root / "work");
        ::setenv("KELVO_SYSROOT", m_root.Path().c_str(), 1);
        if (m_pTransport) {
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (m_root / "no-system-bus")).c_str(), 1);
            ::setenv("CUPS_SERVER", (m_root / "no-cups.sock").c_str(), 1);
            const std::string why = m_pTransport->Prepare(m_root.Path());
            if (!why.empty()) GTEST_SKIP() << why;
            ASSERT_FALSE(HasFailure());
        }
        ::setenv("XDG_RUNTIME_DIR", m_root.Path().c_str(), 1);
        ::setenv("LANG", "C.UTF-8", 1);
        ASSERT_EQ(::chdir(std::string(m_root / "work").c_str()), 0);
        LogResetForTest();
        LogSetup(LOG_PROGRAM_MASK, LOG_PROGRAM_NAME);
        theApp.Reset();
        ResetModelTable(ModelTable);
        ModelTable[kTypeId] = ModelEntry{"SIM-34", DK_FIRMWARE, m_pTransport ? IF_ALL : IF_TCP, 0};
        SetMessageBox(&m_frontEnd);
        SetSilentModeQuery([]() noexcept { return theApp.TestFlags(UF_SILENT); });
        m_frontEnd.SetDiscovery(PORT_KIND_LAN, &m_listed);
        m_frontEnd.Boxes().SetHook([this](QMessageBox& box) {
            std::lock_guard lock(m_mutex);
            m_boxes.push_back(box.text().toStdString());
            if (m_answers.empty()) return IDOK;
            int nAnswer = m_answers.front();
            m_answers.erase(m_answers.begin());
            return nAnswer;
        });
    }
    void TearDown() override {
        m_pPrinter.reset();
        if (m_pTransport) {
            m_pTransport.reset();
            ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
            ::unsetenv("CUPS_SERVER");
        }
        SetMessageBox(nullptr);
        SetSilentModeQuery(nullptr);
        theApp.Reset();
        ResetModelTable(ModelTable);
        ::unsetenv("KELVO_LAN_PORTS");
        ::unsetenv("XDG_RUNTIME_DIR");
        LogResetForTest();
        ::unsetenv("KELVO_SYSROOT");
    }

    sim::MadeFile MakeFirmware(BYTE bRomId, DWORD cbSize) { return MakeFile("FW", bRomId, cbSize); }
    sim::MadeFile MakeFile(const char* pszKind, BYTE bRomId, DWORD cbSize) {
        sim::UpdateFileRequest request;
        request.szKind = pszKind;
        request.bTypeId = kTypeId;
        request.bRomId = bRomId;
        request.cbSize = cbSize;
        request.dwSeed = 1;
        request.szDir = m_root / "work";
        sim::MadeFile made;
        EXPECT_TRUE(sim::MakeUpdateFile(request, &made));
        return made;
    }
    void StartPrinter(BYTE bRomId, const sim::Faults& faults = {}) {
        sim::Config config;
        config.state.bTypeId = kTypeId;
        config.state.bRomId = bRomId;
        config.faults = faults;
        if (m_pTransport) {
            m_pPrinter = m_pTransport->Start(config, m_root.Path());
            ASSERT_TRUE(m_pPrinter);
            return;
        }
        m_pPrinter = StartLanPrinter(config, m_szAddress);
        ASSERT_TRUE(m_pPrinter);
        ::setenv("KELVO_LAN_PORTS", LanPortsOf(*m_pPrinter).c_str(), 1);
    }

    // Runs the program's window: the kind's button when one is given (-1: the preselected
    // one), Select, then chooseInList with the shown port list (empty: Update on the line
    // preselected), and back to the choice (or the end, silently) within nTimeoutMs.
    void SelectAndUpdate(int nTimeoutMs, int nKind = -1, std::function<void(CPortListDlg&)> chooseInList = {}) {
        if (!chooseInList) chooseInList = [](CPortListDlg& d) { QTest::mouseClick(d.UpdateButton(), Qt::LeftButton); };
        m_frontEnd.SetDialogHook([this, nTimeoutMs, nKind, chooseInList](CKelvoDlg& dlg) {
            dlg.SetSpoolerStart({});
            dlg.SetUrlLauncher([this](const char* pszUrl) {
                std::lock_guard lock(m_mutex);
                m_urls.push_back(pszUrl);
                return TRUE;
            });
            dlg.SetSilentCloseDelay(0);
            if (m_onDialog) m_onDialog(dlg);
            QTimer::singleShot(0, &dlg, [this, &dlg, nTimeoutMs, nKind, chooseInList] {
                ASSERT_TRUE(QTest::qWaitFor([&] { return dlg.SelectButton()->isEnabled(); }, 10000));
                m_caption = dlg.windowTitle().toStdString();
                m_bLanChecked = dlg.KindButton(PORT_KIND_LAN)->isChecked();
                if (nKind >= 0) {
                    // On the button's indicator: the middle of a wide button may lie beyond its label.
                    QRadioButton* pKind = dlg.KindButton(nKind);
                    QTest::mouseClick(pKind, Qt::LeftButton, {}, QPoint(pKind->height() / 2, pKind->height() / 2));
                    EXPECT_TRUE(pKind->isChecked()) << "kind " << nKind;
                }
                dlg.PortList().SetShownHook([this, chooseInList](CPortListDlg& d) {
                    m_heading = d.Heading()->text().toStdString();
                    for (int i = 0; i < d.List()->count(); ++i) {
                        m_listLines.push_back(d.List()->item(i)->text().toStdString());
                    }
                    chooseInList(d);
                });
                QTest::mouseClick(dlg.SelectButton(), Qt::LeftButton);
                // The run has ended when the choice is back and no worker is busy.
                EXPECT_TRUE(QTest::qWaitFor([&] { return dlg.SelectButton()->isEnabled() && WaitForWorker(0) == WAIT_OBJECT_0; },
                                            nTimeoutMs));
                dlg.PostClose();
            });
        });
        m_frontEnd.RunMainWindow(theApp);
    }

    std::vector<std::string> Boxes() {
        std::lock_guard lock(m_mutex);
        return m_boxes;
    }
    static std::string Succeeded(BYTE bRomId) {
        return StrPrintf(LoadResString(IDS_FW_UPDATE_SUCCEEDED_VERSION).c_str(),
                         sim::DefaultVersionText(kTypeId, bRomId).c_str());
    }
    // The run ended with the success box and exit code 0 over dwKind, the printer runs ROM
    // 07, and the one transfer it stored is the firmware file byte for byte.
    void ExpectFirmwareUpdated(DWORD dwKind, const sim::MadeFile& fw) {
        EXPECT_EQ(Boxes(), std::vector<std::string>{Succeeded(0x07)});
        EXPECT_EQ(theApp.nExitCode.load(), 0u);
        EXPECT_EQ(theApp.nPortKind, static_cast<int>(dwKind));
        EXPECT_EQ(m_pPrinter->State().bRomId, 0x07);
        const std::vector<sim::StoredImage> images = m_pPrinter->StoredImages();
        ASSERT_EQ(images.size(), 1u);
        EXPECT_EQ(images[0].szKind, "FW");
        EXPECT_TRUE(StoredAsFile(images[0], fw.szPath));
    }

    TempDir m_root;
    std::string m_szAddress = UniqueGuiAddress();
    CListedPrinter m_listed{m_szAddress};
    std::unique_ptr<sim::Printer> m_pPrinter;
    CKelvoFrontEnd m_frontEnd{EngineWorkers()};
    std::mutex m_mutex;
    std::vector<std::string> m_boxes;
    std::vector<int> m_answers;
    std::vector<std::string> m_urls;
    std::string m_caption;
    bool m_bLanChecked = false;
    std::string m_heading;                 // of the port list as shown
    std::vector<std::string> m_listLines;  // the lines it showed
    std::unique_ptr<GuiTransport> m_pTransport;  // none: LAN; set by the constructor
    std::function<void(CKelvoDlg&)> m_onDialog;  // SelectAndUpdate's dialog, before Select
};

#define KELVO_GUI_TEST_MAIN()                                \
    int main(int argc, char** argv) {                        \
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);         \
        QApplication app(argc, argv);                        \
        ::testing::InitGoogleTest(&argc, argv);              \
        return RUN_ALL_TESTS();                              \
    }
