#pragma once
// The terminal front end: what the main dialog and the port list do in the desktop
// program, done on a terminal. It runs the engine's initialisation and update runs on
// worker threads as the dialog does, takes the port from --port or from discovery,
// shows the engine's texts through a CProgressView and its messages on stderr, and
// answers the failure prompt from the terminal, from --yes, or with the silent answer.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/Options.h"
#include "cli/Preflight.h"
#include "cli/ProgressView.h"
#include "cli/Report.h"
#include "discovery/UtilPort.h"
#include "engine/Kelvo.h"
#include "ui/TerminalMessageBox.h"

class CCliSession;

// The bodies of the two worker threads: the engine's initialisation (loads the update
// files, sets the caption, calls SetupConnectionKinds) and one update run. Each returns
// its result code; both run on a worker thread while the main thread waits.
struct CliWorkers {
    std::function<DWORD(CCliSession&)> pfnInitialize;
    std::function<DWORD(CCliSession&)> pfnRunUpdate;
    // The firmware version text the engine last read from the printer (empty: none).
    std::function<std::string()> pfnFwVersion = {};
    // The bytes of the ROM ID answer the engine last read, forgetting them (empty: none
    // since the last call).
    std::function<std::vector<BYTE>()> pfnTakeRomId = {};
    // What a cancel still waits for ("waiting up to 14 s for the printer to restart");
    // empty when the run ends promptly. Asked on the main thread at the first interrupt.
    std::function<std::string()> pfnCancelWait = {};
    // Starts again what the run stopped and restores the serial defaults; called on the
    // main thread at the second interrupt, while the worker may still run.
    std::function<void()> pfnRestoreMachine = {};
    // Mistakes found before connecting, for the kind and the port (empty: a search
    // follows); notes for people go to the vector. None: connect.
    std::function<std::optional<PortProblem>(int nKind, const std::string& port, std::vector<std::string>*)>
        pfnCheckBeforeConnecting = {};
    // The DEVICE ID the printer reported at the last identification; -1: none.
    std::function<int()> pfnDeviceId = {};
    // The longest the wait the run sits out now (the restart) may still take, in ms;
    // nothing while none runs. Any thread.
    std::function<std::optional<DWORD>()> pfnWaitLeftMs = {};
};

// The discovery object of a kind; null when this build has none for it.
using DiscoveryFactory = std::function<std::unique_ptr<CUtilPort>(int nKind)>;
// The stock factory: a discovery object for every kind.
std::unique_ptr<CUtilPort> MakeDiscovery(int nKind);
// The USB discovery object of the program, which the stock factory's USB searches use and
// the engine compares with after a USB restart (SetUsbDiscovery).
class CUtilUsb;
CUtilUsb& ProgramUsbDiscovery();

// Location and error codes of the terminal's own choice failures.
inline constexpr DWORD LOC_NO_PORT_FOUND = 0x070401;
inline constexpr DWORD ERROR_NO_PORT_FOUND = 0x200010DF;

// Discovers the ports of a kind into lines ("name TAB description"). Returns the count;
// *pbHasDiscovery is false when the build has no discovery for the kind.
int DiscoverPorts(const DiscoveryFactory& factory, int nKind, std::vector<std::string>* pLines, bool* pbHasDiscovery);

class CCliSession : public IFrontEnd, public IDialogHost {
public:
    // fdIn answers questions; fdErr receives messages; fdInterrupt (or -1) becomes
    // readable when the user interrupts (a signalfd, or a pipe in tests).
    CCliSession(CliOptions options, CliWorkers workers, DiscoveryFactory discovery, CProgressView& view,
                int fdIn = 0, int fdErr = 2, int fdInterrupt = -1);

    // IMessageBox: the text and its codes on stderr. The failure prompt (Retry/Cancel)
    // is answered Retry once with --yes; otherwise asked on a terminal, and without one
    // the silent answer comes back. A warning that asks the user to act waits for Enter
    // on a terminal. Callable from any thread; blocks while it asks.
    int MessageBox(const std::string& text, const std::string& caption, DWORD dwStyle) override;

    // IFrontEnd: initialisation, choice of the port, the update run and the retry run
    // the engine asks for; sets app.nExitCode. Main thread.
    void RunMainWindow(CKelvoApp& app) override;
    // There is no window to raise: says so; the caller ends with ERROR_ALREADY_EXISTS.
    void RaiseFirstInstance() override;

    // IDialogHost: texts go to the view; posted requests are remembered and acted on
    // by RunMainWindow when the worker has ended. None of them blocks.
    void SetCaption(const std::string& caption) override;
    void SetControlText(int nControlId, const std::string& text) override;
    void SetBusyLayout(bool bBusy) override;
    void EnableDialog(bool bEnable) override;
    void RestoreAfterRun() override;
    void PostSelect() override;
    void PostClose() override;
    void PostRetry() override;

    // The connection kind of the run: --kind when the model offers it, else the model's
    // first kind. FALSE after the error message when the model offers none, or not the
    // one asked for. Called by the initialisation thread.
    BOOL SetupConnectionKinds();

    // The help page the engine opens after a failed retry run: its address is shown
    // (a terminal user may be on another machine, a script has no browser). TRUE.
    BOOL ShowHelpPage(const char* pszUrl);

    // The first interrupt cancels the run and says what the cancel still waits for. The
    // second restores the machine (pfnRestoreMachine, saying so first) and then calls
    // this action, which ends the program (default: none; the cancel goes on).
    void SetSecondInterruptAction(std::function<void()> action) { m_onSecondInterrupt = std::move(action); }

    bool SawOtherInstance() const { return m_bOtherInstance; }
    // What happened, for the summary and --json; result fields are filled by the caller.
    CliReport Report() const;
    // --check: what the run found an update would send, into the report.
    void NoteWouldSend(const CKelvoApp& app);

private:
    DWORD RunWorker(const std::function<DWORD(CCliSession&)>& body, const char* pszWhat);
    DWORD Select(CKelvoApp& app);
    DWORD ChoosePort(CKelvoApp& app);
    // The mistakes found before connecting, for the port (empty: a search follows);
    // ERROR_SUCCESS, or the result with its sentence in the report.
    DWORD CheckBeforeConnecting(const std::string& port, bool bShowNotes);
    void RunUpdates(CKelvoApp& app);
    void OnInterrupt();
    void DrainInterrupts();
    // Notes a transfer that begins; the named steps the progress text shows (the step,
    // then the one that follows a transfer's last byte), none for other texts.
    std::vector<ProgressStep> NoteProgress(const std::string& text);
    std::string FwVersion() const;
    std::vector<BYTE> TakeRomId() const;
    void NoteFirmwareVersions(CKelvoApp& app);
    // The sentence before the "no port"/"not supported" box when config.ini lacks the model.
    void SayMissingModel();
    // The sentence before the "not supported" box: the word config.ini's line lacks.
    void SayKindNotOffered(int nKind);
    void ShowNotes(const std::vector<std::string>& notes);

    CliOptions m_options;
    CliWorkers m_workers;
    DiscoveryFactory m_discovery;
    CProgressView& m_view;
    CTerminalMessageBox m_box;
    int m_fdIn;
    int m_fdInterrupt;
    std::function<void()> m_onSecondInterrupt;

    int m_nKind = -1;
    std::atomic<bool> m_bRetryPosted{false};
    std::atomic<bool> m_bRetryAnswered{false};
    std::atomic<int> m_nInterrupts{0};
    std::atomic<bool> m_bAsking{false};  // a question waits for the terminal's answer
    bool m_bOtherInstance = false;

    mutable std::mutex m_mutex;  // guards the report below
    CliReport m_report;
    bool m_bSending = false;
    CProgressSteps m_steps;
    bool m_bFirmwareSeen = false;     // in the current run
    bool m_bFirmwareSent = false;     // in any run
    bool m_bBeforeTaken = false;
};
