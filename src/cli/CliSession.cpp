#include "cli/CliSession.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <span>

#include "config/ConfigFile.h"
#include "discovery/UtilCom.h"
#include "discovery/UtilBth.h"
#include "discovery/UtilTcp.h"
#include "discovery/UtilUsb.h"
#include "engine/Thread.h"
#include "log/Log.h"
#include "platform/Event.h"
#include "platform/LastError.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "platform/Tick.h"
#include "platform/WinError.h"
#include "port/ComConf.h"
#include "system/Service.h"
#include "ui/StringTable.h"
#include "ui/Util.h"

namespace {

// Location and error codes of the kind check, as the desktop dialog shows them.
constexpr DWORD LOC_CONFIG_NO_PORT = 0x050901;
constexpr DWORD LOC_PORT_NOT_SUPPORTED = 0x050902;
constexpr DWORD ERROR_KIND_NOT_OFFERED = 0x20000490;

constexpr DWORD kInterfaceOfKind[] = {IF_USB, IF_BT, IF_TCP, IF_COM};

DWORD ModelInterfaces() {
    int nTypeId = theApp.nTypeId;
    if (nTypeId < 0 || static_cast<std::size_t>(nTypeId) >= MODEL_TABLE_SIZE) return 0;
    return ModelTable[static_cast<std::size_t>(nTypeId)].dwInterfaces;
}

// The firmware entry a run sends: the one of the printer's Type ID.
const UpdateDataEntry* FirmwareEntryOfRun() {
    int nTypeId = theApp.nTypeId;
    if (nTypeId < 0 || static_cast<std::size_t>(nTypeId) >= theApp.tables.FW.size()) return nullptr;
    return &theApp.tables.FW[static_cast<std::size_t>(nTypeId)];
}

// The bytes of the file itself: the engine sends the data kinds behind a download header.
unsigned long long FileBytes(const UpdateDataEntry& entry, std::string_view table) {
    if (table == "FW" || entry.cbData < DOWNLOAD_HEADER_SIZE) return entry.cbData;
    return entry.cbData - DOWNLOAD_HEADER_SIZE;
}

bool ReadLine(int fd) {
    for (;;) {
        char ch;
        ssize_t n = ::read(fd, &ch, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (ch == '\n') return true;
    }
}

bool FdReadable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return fd >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

}  // namespace

namespace {

// Each search of the port list goes through the program's one USB discovery object.
class CProgramUsbDiscovery : public CUtilPort {
public:
    int EnumPorts(IPortList* pListBox, std::span<std::string> entries) override {
        return ProgramUsbDiscovery().EnumPorts(pListBox, entries);
    }
};

}  // namespace

CUtilUsb& ProgramUsbDiscovery() {
    static CUtilUsb usb;
    return usb;
}

std::unique_ptr<CUtilPort> MakeDiscovery(int nKind) {
    if (nKind == PORT_KIND_LAN) return std::make_unique<CUtilTcp>();
    if (nKind == PORT_KIND_USB) return std::make_unique<CProgramUsbDiscovery>();
    if (nKind == PORT_KIND_SERIAL) {
        return std::make_unique<CUtilCom>(CompetingServicesControl);
    }
    if (nKind == PORT_KIND_BLUETOOTH) return std::make_unique<CUtilBth>();
    return nullptr;
}

int DiscoverPorts(const DiscoveryFactory& factory, int nKind, std::vector<std::string>* pLines, bool* pbHasDiscovery) {
    pLines->clear();
    std::unique_ptr<CUtilPort> pUtil = factory ? factory(nKind) : nullptr;
    *pbHasDiscovery = pUtil != nullptr;
    if (!pUtil) return 0;
    CPortLineList list;
    std::vector<std::string> entries(256);
    int nFound = pUtil->EnumPorts(&list, entries);
    *pLines = list.Lines();
    return nFound;
}

CCliSession::CCliSession(CliOptions options, CliWorkers workers, DiscoveryFactory discovery, CProgressView& view,
                         int fdIn, int fdErr, int fdInterrupt)
    : m_options(std::move(options)),
      m_workers(std::move(workers)),
      m_discovery(std::move(discovery)),
      m_view(view),
      m_box(fdIn, fdErr),
      m_fdIn(fdIn),
      m_fdInterrupt(fdInterrupt) {}

int CCliSession::MessageBox(const std::string& text, const std::string& caption, DWORD dwStyle) {
    LastErrorGuard keep;
    m_view.BreakLine();
    {
        std::lock_guard lock(m_mutex);
        m_report.messages.push_back(text);
    }
    if ((dwStyle & MB_TYPEMASK) == MB_RETRYCANCEL && m_options.bYes && !m_bRetryAnswered.exchange(true)) {
        m_view.WriteLines(caption + ": " + text + "\nRetry (--yes)");
        return IDRETRY;
    }
    m_bAsking = true;
    int nAnswer = m_box.MessageBox(text, caption, dwStyle);
    // "Turn the printer on and click [OK]": the engine must not go on before the user has.
    bool bAsksToAct = (dwStyle & MB_TYPEMASK) == MB_OK && (dwStyle & MB_ICONMASK) == MB_ICONWARNING;
    if (bAsksToAct && ::isatty(m_fdIn)) {
        m_view.WriteLines("Press Enter to continue.");
        ReadLine(m_fdIn);
    }
    m_bAsking = false;
    return nAnswer;
}

void CCliSession::RaiseFirstInstance() {
    m_bOtherInstance = true;
    m_view.WriteLines("Another Kelvo update is running on this machine.");
}

void CCliSession::SetCaption(const std::string& caption) { m_view.SetCaption(caption); }

void CCliSession::SetControlText(int nControlId, const std::string& text) {
    if (nControlId == IDC_STATUS_TEXT) {
        m_view.SetStatus(text);
    } else if (nControlId == IDC_PROGRESS_TEXT) {
        std::vector<ProgressStep> steps = NoteProgress(text);
        if (steps.empty()) m_view.SetProgress(text);
        for (const ProgressStep& step : steps) m_view.ShowStep(step, GetTickCount());
    }
}

void CCliSession::SetBusyLayout(bool) { m_view.BreakLine(); }
void CCliSession::EnableDialog(bool) {}
void CCliSession::RestoreAfterRun() { m_view.BreakLine(); }
// Silent mode is the desktop's; the terminal chooses and closes by itself.
void CCliSession::PostSelect() {}
void CCliSession::PostClose() {}
void CCliSession::PostRetry() { m_bRetryPosted = true; }

std::vector<ProgressStep> CCliSession::NoteProgress(const std::string& text) {
    std::optional<ProgressText> progress = ParseProgressText(text);
    bool bSending = progress && progress->strLabel == kSendingLabel;
    std::lock_guard lock(m_mutex);
    if (bSending && !m_bSending) {
        // The first transfer of a run that sends firmware is the firmware; the data
        // kinds follow, each as the engine's current entry.
        bool bFirmware = !theApp.TestFlags(UF_NO_FW_UPDATE) && !m_bFirmwareSeen;
        m_bFirmwareSeen = m_bFirmwareSeen || bFirmware;
        if (bFirmware && !m_bBeforeTaken) {
            // What the printer had told before its firmware is replaced.
            m_report.strFwBefore = FwVersion();
            m_report.romIdBefore = TakeRomId();
            m_bBeforeTaken = true;
        }
        m_bFirmwareSent = m_bFirmwareSent || bFirmware;
        const UpdateDataEntry* pEntry = bFirmware ? FirmwareEntryOfRun() : theApp.pCurrentEntry;
        const char* pszTable = bFirmware ? "FW" : UpdateTableName(pEntry);
        m_report.sent.push_back(pszTable);
        m_steps.BeginTransfer(TransferOfEntry(pEntry, pszTable));
        if (pEntry != nullptr && !pEntry->strFileName.empty()) {
            m_report.sentFiles.emplace_back(pEntry->strFileName, FileBytes(*pEntry, pszTable));
        }
    }
    m_bSending = bSending;
    std::vector<ProgressStep> steps;
    std::optional<ProgressStep> step = m_steps.OnText(text, GetTickCount());
    if (!step) return steps;
    // The restart wait's limit is the engine's; the share of it shown is only its pauses.
    if (step->kind == StepKind::RestartWait && m_workers.pfnWaitLeftMs) step->dwLeftMs = m_workers.pfnWaitLeftMs();
    const bool bEndsTransfer = step->EndsTransfer();
    steps.push_back(std::move(*step));
    if (bEndsTransfer) steps.push_back(m_steps.AfterTransfer());
    return steps;
}

BOOL CCliSession::ShowHelpPage(const char* pszUrl) {
    m_view.WriteLines(std::string("For details see ") + (pszUrl != nullptr ? pszUrl : ""));
    return TRUE;
}

std::string CCliSession::FwVersion() const { return m_workers.pfnFwVersion ? m_workers.pfnFwVersion() : std::string(); }

std::vector<BYTE> CCliSession::TakeRomId() const {
    return m_workers.pfnTakeRomId ? m_workers.pfnTakeRomId() : std::vector<BYTE>();
}

void CCliSession::NoteFirmwareVersions(CKelvoApp& app) {
    std::string version = FwVersion();
    std::vector<BYTE> romId = TakeRomId();
    DWORD dwResult = app.nExitCode;
    std::lock_guard lock(m_mutex);
    if (m_bFirmwareSent) {
        // Read by the check after the restart; a run that failed before it read nothing new.
        if (version != m_report.strFwBefore) m_report.strFwAfter = version;
        // Taken when the transfer began: what came since is the verification's answer.
        m_report.romIdAfter = romId;
    } else {
        // Nothing was sent: what identification read is the version before, and after
        // a run that ended well, also after.
        if (!m_bBeforeTaken) {
            m_report.strFwBefore = version;
            m_report.romIdBefore = romId;
        }
        // A check restarts nothing: it has no "after".
        if (!m_options.bCheck && (dwResult == ERROR_SUCCESS || dwResult == ERROR_ALREADY_REGISTERED)) {
            m_report.strFwAfter = m_report.strFwBefore;
            m_report.romIdAfter = m_report.romIdBefore;
        }
    }
}

BOOL CCliSession::SetupConnectionKinds() {
    DWORD dwInterfaces = ModelInterfaces();
    if (m_options.nKind) {
        int nKind = *m_options.nKind;
        if ((dwInterfaces & kInterfaceOfKind[nKind]) == 0) {
            SayKindNotOffered(nKind);
            ShowError(LOC_PORT_NOT_SUPPORTED, ERROR_KIND_NOT_OFFERED, "%s", LoadResString(IDS_PORT_NOT_SUPPORTED).c_str());
            return FALSE;
        }
        m_nKind = nKind;
    } else {
        m_nKind = -1;
        for (int nKind = 0; nKind < static_cast<int>(std::size(kInterfaceOfKind)) && m_nKind < 0; ++nKind) {
            if ((dwInterfaces & kInterfaceOfKind[nKind]) != 0) m_nKind = nKind;
        }
        if (m_nKind < 0) {
            SayMissingModel();
            ShowError(LOC_CONFIG_NO_PORT, ERROR_KIND_NOT_OFFERED, "%s", LoadResString(IDS_CONFIG_NO_PORT).c_str());
            return FALSE;
        }
    }
    theApp.nInitialPortKind = m_nKind;
    return TRUE;
}

void CCliSession::SayKindNotOffered(int nKind) {
    std::string sentence = KindNotOfferedSentence(theApp.nTypeId, nKind);
    if (sentence.empty()) return;
    std::lock_guard lock(m_mutex);
    m_report.strResultText = sentence;
}

void CCliSession::SayMissingModel() {
    std::string sentence = MissingModelSentence(theApp.nTypeId);
    if (sentence.empty()) return;
    std::lock_guard lock(m_mutex);
    m_report.strResultText = sentence;
}

void CCliSession::ShowNotes(const std::vector<std::string>& notes) {
    for (const std::string& note : notes) m_view.WriteLines("Note: " + note);
}

void CCliSession::OnInterrupt() {
    int nCount = ++m_nInterrupts;
    theApp.SetFlags(UF_CANCEL);
    LogMessage(LOG_APP, 'I', __LINE__, 0, "Interrupted by the user [%d]", nCount);
    if (nCount == 1) {
        std::string waiting = m_workers.pfnCancelWait ? m_workers.pfnCancelWait() : std::string();
        if (m_bAsking && ::isatty(m_fdIn)) waiting = "waiting for the answer to the question above";
        m_view.WriteLines("Cancelling..." + (waiting.empty() ? std::string() : " " + waiting + ".") +
                          " Interrupt again to quit sooner.");
    } else if (nCount == 2) {
        m_view.WriteLines(
            "Quitting: starting again the services the update stopped and restoring the serial defaults "
            "(a few seconds at most)...");
        if (m_workers.pfnRestoreMachine) m_workers.pfnRestoreMachine();
        LogMessage(LOG_APP, 'I', __LINE__, 0, "Quitting after the second interrupt");
        if (m_onSecondInterrupt) m_onSecondInterrupt();
    }
}

void CCliSession::DrainInterrupts() {
    while (FdReadable(m_fdInterrupt)) {
        std::array<char, 512> buffer;
        ssize_t n = ::read(m_fdInterrupt, buffer.data(), buffer.size());
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            // A closed interrupt source says nothing more; stop watching it.
            m_fdInterrupt = -1;
            return;
        }
        OnInterrupt();
    }
}

DWORD CCliSession::RunWorker(const std::function<DWORD(CCliSession&)>& body, const char* pszWhat) {
    if (!body) return ERROR_INVALID_FUNCTION;
    Event ended(true, false);
    std::atomic<DWORD> dwResult{0};
    Thread worker;
    if (!worker.Start([&] {
            dwResult = body(*this);
            ended.Set();
        })) {
        DWORD dwError = GetLastError();
        LogMessage(LOG_ERROR, 'E', __LINE__, dwError, "Cannot start the %s thread", pszWhat);
        return dwError != 0 ? dwError : ERROR_NOT_ENOUGH_MEMORY;
    }
    for (;;) {
        std::array<WaitItem, 2> items{WaitItem::For(ended), WaitItem::ForFd(m_fdInterrupt, POLLIN)};
        std::span<const WaitItem> wait(items.data(), m_fdInterrupt >= 0 ? 2 : 1);
        DWORD dwWait = WaitForAny(wait, INFINITE);
        if (dwWait != WAIT_OBJECT_0 + 1) break;  // ended, or the wait failed: join below
        DrainInterrupts();
    }
    worker.WaitForEnd(INFINITE);
    // An interrupt that came with the end still counts for what follows.
    DrainInterrupts();
    return dwResult;
}

DWORD CCliSession::ChoosePort(CKelvoApp& app) {
    if (!m_options.strPort.empty()) {
        app.szPortName = m_options.strPort;
        // The maker's USB printers attached now: after its restart the printer is the one
        // that was not among them.
        if (m_nKind == static_cast<int>(PORT_KIND_USB)) {
            std::vector<std::string> lines;
            bool bHasDiscovery = false;
            DiscoverPorts(m_discovery, m_nKind, &lines, &bHasDiscovery);
        }
        return ERROR_SUCCESS;
    }
    m_view.WriteLines(std::string("Searching for printers (") + PortKindWord(m_nKind) + ")...");
    std::vector<std::string> lines;
    bool bHasDiscovery = false;
    int nFound = DiscoverPorts(m_discovery, m_nKind, &lines, &bHasDiscovery);
    DrainInterrupts();
    if (m_nInterrupts > 0) return ERROR_CANCELLED;
    if (!bHasDiscovery) {
        ShowMessage(MB_ICONERROR, IDOK, "This program cannot search for %s printers yet; name the port with --port.",
                    PortKindWord(m_nKind));
    }
    if (nFound < 1 || lines.empty()) {
        ShowError(LOC_NO_PORT_FOUND, ERROR_NO_PORT_FOUND, "%s", LoadResString(IDS_NO_PORT_FOUND).c_str());
        return ERROR_NO_PORT_FOUND;
    }
    if (lines.size() > 1) {
        std::string list;
        for (const std::string& line : lines) list += "\n" + line;
        ShowMessage(MB_ICONERROR, IDOK, "%zu printers found; name one with --port:%s", lines.size(), list.c_str());
        return ERROR_INVALID_PARAMETER;
    }
    m_view.WriteLines("Found " + lines.front());
    app.szPortName = PortNameOfLine(lines.front());
    return ERROR_SUCCESS;
}

DWORD CCliSession::CheckBeforeConnecting(const std::string& port, bool bShowNotes) {
    if (!m_workers.pfnCheckBeforeConnecting) return ERROR_SUCCESS;
    std::vector<std::string> notes;
    std::optional<PortProblem> problem = m_workers.pfnCheckBeforeConnecting(m_nKind, port, &notes);
    if (bShowNotes) ShowNotes(notes);
    if (!problem) return ERROR_SUCCESS;
    LogMessage(LOG_APP, 'I', __LINE__, problem->dwResult, "Not connecting: %s", problem->strSentence.c_str());
    std::lock_guard lock(m_mutex);
    m_report.strKind = PortKindWord(m_nKind);
    m_report.strPort = port;
    m_report.strResultText = problem->strSentence;
    return problem->dwResult;
}

DWORD CCliSession::Select(CKelvoApp& app) {
    app.ClearFlags(UF_CANCEL | UF_RETRY | UF_RETRY_REQUESTED);
    LogMessage(LOG_APP, 'I', __LINE__, 0, "Wait for last thread...");
    if (m_nInterrupts > 0) return ERROR_CANCELLED;
    if (m_nKind < 0 && !SetupConnectionKinds()) return ERROR_INVALID_PRINTER_NAME;
    app.nPortKind = m_nKind;
    DWORD dwResult = CheckBeforeConnecting(m_options.strPort, true);
    if (dwResult == ERROR_SUCCESS) dwResult = ChoosePort(app);
    // A port the search found is checked as a named one: a node this user may not open
    // is named now, not after the connection's retries.
    if (dwResult == ERROR_SUCCESS && m_options.strPort.empty()) dwResult = CheckBeforeConnecting(app.szPortName, false);
    if (dwResult != ERROR_SUCCESS) return dwResult;
    // The serial line's settings for the run: the record the port list would make.
    if (m_nKind == static_cast<int>(PORT_KIND_SERIAL)) {
        app.pComConfig = std::make_shared<ComConfigRecord>(NewComConfigRecord(app.szPortName.c_str()));
    }
    std::lock_guard lock(m_mutex);
    m_report.strKind = PortKindWord(m_nKind);
    m_report.strPort = app.szPortName;
    return ERROR_SUCCESS;
}

void CCliSession::RunUpdates(CKelvoApp& app) {
    LogMessage(LOG_APP, 'I', __LINE__, 0, "Create update thread...");
    for (;;) {
        m_bRetryPosted = false;
        {
            std::lock_guard lock(m_mutex);
            m_bFirmwareSeen = false;
        }
        app.nExitCode = RunWorker(m_workers.pfnRunUpdate, "update");
        // One retry run at most, as the dialog: a retry run never asks for another.
        if (!m_bRetryPosted || app.TestFlags(UF_RETRY)) return;
        if (m_nInterrupts > 0) {
            LogMessage(LOG_APP, 'I', __LINE__, 0, "Retry not started: cancelled by the user");
            return;
        }
        LogMessage(LOG_APP, 'I', __LINE__, 0, "Wait for last thread before retrying...");
        DWORD dwFlags = app.dwUpdateFlags.load();
        while (!app.dwUpdateFlags.compare_exchange_weak(dwFlags, (dwFlags & ~UF_RETRY_REQUESTED) | UF_RETRY)) {
        }
        {
            std::lock_guard lock(m_mutex);
            m_report.bRetryRun = true;
        }
        LogMessage(LOG_APP, 'I', __LINE__, 0, "Create update thread for retrying...");
    }
}

void CCliSession::RunMainWindow(CKelvoApp& app) {
    if (m_options.bForce) app.SetFlags(UF_FORCE_UPDATE);
    if (m_options.bCheck) app.SetFlags(UF_CHECK_ONLY);
    ShowNotes(TakeConfigNotes());
    DWORD dwResult = RunWorker(m_workers.pfnInitialize, "initialisation");
    ShowNotes(TakeConfigNotes());  // an update file that was not read says why
    if (dwResult == ERROR_SUCCESS) dwResult = Select(app);
    if (dwResult == ERROR_SUCCESS) {
        RunUpdates(app);
        if (app.nExitCode == ERROR_BAD_DEVICE && m_workers.pfnDeviceId) {
            std::string sentence = WrongModelSentence(m_workers.pfnDeviceId());
            std::lock_guard lock(m_mutex);
            if (!sentence.empty()) m_report.strResultText = sentence;
        }
    } else {
        app.nExitCode = dwResult;
    }
    m_view.BreakLine();
    NoteFirmwareVersions(app);
    if (m_options.bCheck) NoteWouldSend(app);
    if (std::string summary = CliSummary(Report()); !summary.empty()) m_view.WriteLines(summary);
    // The model table is emptied when the run is over; keep what the report needs.
    int nTypeId = app.nTypeId;
    std::lock_guard lock(m_mutex);
    if (nTypeId > 0 && static_cast<std::size_t>(nTypeId) < MODEL_TABLE_SIZE) {
        m_report.nTypeId = nTypeId;
        m_report.strModel = ModelTable[static_cast<std::size_t>(nTypeId)].pszModelName;
    }
}

void CCliSession::NoteWouldSend(const CKelvoApp& app) {
    std::lock_guard lock(m_mutex);
    m_report.bCheck = true;
    for (const auto& [pEntry, wPrinter] : app.checksumsRead) {
        m_report.checksums.emplace_back(UpdateTableName(pEntry), StrPrintf("%04X", wPrinter));
    }
    std::string files;
    for (const UpdateDataEntry* pEntry : app.wouldSend) {
        const char* pszTable = UpdateTableName(pEntry);
        m_report.wouldSend.push_back(pszTable);
        files += StrPrintf("%s%s (%s, %s bytes)", files.empty() ? "" : ", ", pszTable, pEntry->strFileName.c_str(),
                           GroupedCount(FileBytes(*pEntry, pszTable)).c_str());
    }
    if (app.nExitCode == ERROR_SUCCESS) {
        m_report.strResultText = "An update would send " + files + "; nothing was sent.";
    } else if (app.nExitCode == ERROR_ALREADY_REGISTERED) {
        m_report.strResultText = "The printer is current; an update would send nothing.";
    }
}

CliReport CCliSession::Report() const {
    std::lock_guard lock(m_mutex);
    return m_report;
}
