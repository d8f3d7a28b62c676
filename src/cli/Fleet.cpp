#include "cli/Fleet.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>

#include "cli/FleetResultFile.h"
#include "cli/Json.h"
#include "cli/ProgressView.h"
#include "cli/Report.h"
#include "config/ConfigFile.h"
#include "engine/Kelvo.h"
#include "log/Log.h"
#include "platform/BlueZ.h"
#include "platform/LastError.h"
#include "platform/PlainFile.h"
#include "platform/Process.h"
#include "platform/Text.h"
#include "platform/Tick.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"
#include "port/UsbLp.h"
#include "system/Service.h"
#include "system/System.h"
#include "ui/StringTable.h"
#include "ui/TerminalMessageBox.h"
#include "ui/Util.h"

namespace {

constexpr const char* kProgramName = "kelvo-cli";
// What a parent says first on the channel it hands a child.
constexpr std::string_view kChannelGreeting = "kelvo-fleet-child 1\n";
// After a second interrupt the user wants out: the starts are asked for, briefly waited for.
constexpr ServiceLimits kQuitLimits{2000, 100, 1000, 300, nullptr};

std::string_view Trim(std::string_view text) {
    constexpr std::string_view kBlanks = " \t\r\n";
    std::size_t nFirst = text.find_first_not_of(kBlanks);
    if (nFirst == std::string_view::npos) return {};
    return text.substr(nFirst, text.find_last_not_of(kBlanks) - nFirst + 1);
}

// "1 printer", "3 printers".
std::string Printers(std::size_t n) { return StrPrintf("%zu printer%s", n, n == 1 ? "" : "s"); }

void WriteAll(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

// A child's line as a terminal or a log may show it: control characters (an escape
// sequence in a printer's answer) become '?'.
std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& ch : out) {
        unsigned char uch = static_cast<unsigned char>(ch);
        if (uch < 0x20 || uch == 0x7F) ch = '?';
    }
    return out;
}

void AddUnique(std::vector<std::string>* pPorts, const std::string& port) {
    if (std::find(pPorts->begin(), pPorts->end(), port) == pPorts->end()) pPorts->push_back(port);
}

std::string SelfPath() {
    std::array<char, 4096> path{};
    ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    // Without /proc: the installed one, never one found through PATH.
    return n > 0 ? std::string(path.data(), static_cast<std::size_t>(n)) : SystemProgramPath(kProgramName);
}

// The parent takes the locks a single run takes; it has no window to raise. Its boxes
// (the update files' errors) read as a single run's on stderr and are kept for --json.
class LockOnly : public IFrontEnd {
public:
    int MessageBox(const std::string& text, const std::string& caption, DWORD dwStyle) override {
        messages.push_back(text);
        return m_box.MessageBox(text, caption, dwStyle);
    }
    void RunMainWindow(CKelvoApp&) override {}
    void RaiseFirstInstance() override {}

    std::vector<std::string> messages;

private:
    CTerminalMessageBox m_box{-1, STDERR_FILENO};  // no one to answer: the safe answer
};

// config.ini and the update files, read and checked once as a single run's start does,
// before any child starts: a broken set would fail every printer alike. ERROR_SUCCESS,
// or the result a single run ends with (its boxes shown through the registered box).
// The tables are emptied again: the children read the files for themselves.
DWORD CheckUpdateFilesOnce(int* pnTypeId, std::vector<std::string>* pNotes) {
    ResetModelTable(ModelTable);
    DWORD dwResult = ERROR_SUCCESS;
    if (LoadConfigFile(ModelTable) < 0) {
        dwResult = ERROR_BAD_CONFIGURATION;
    } else if (!LoadFirmwareFile() || !LoadDataFiles()) {
        dwResult = ERROR_FILE_NOT_FOUND;
    }
    // What config.ini's lines need: said by each child beside its run, or here when none runs.
    *pNotes = TakeConfigNotes();
    *pnTypeId = theApp.nTypeId;
    theApp.tables.Clear();
    return dwResult;
}

// One child kelvo-cli and what it has said so far.
struct Child {
    std::size_t nIndex = 0;  // in the list of ports
    pid_t pid = -1;
    UniqueFd out;
    UniqueFd err;
    UniqueFd channel;     // its end of the socket pair: held while it runs
    std::string outText;  // its stdout: the result object
    std::string errLine;  // its stderr: the line not yet ended
    Deadline limit{INFINITE};  // --timeout
    int nTimeoutInterrupts = 0;  // interrupts sent because the limit passed
    std::string lastStep;        // --json-lines: the child's last line that was no progress
    std::string lastLabel;       // the phase of the last progress event
    Deadline progressDue{0};     // and when the next one of that phase may go out
};

constexpr DWORD kProgressEventMs = 1000;

// The --json-lines events' schema, on the first line: raised when an event or field
// changes meaning or goes; new fields may come without it.
constexpr std::int64_t kEventSchema = 1;

// After --timeout the child is interrupted as by Ctrl+C; if it still runs this much later
// (a restart wait a cancel does not cut short) a second interrupt makes it quit.
constexpr DWORD kTimeoutQuitAfterMs = 5000;

// What a printer shows: one line each, redrawn in place on a terminal; every line of a
// child with its port in front otherwise. When the block does not fit the terminal (more
// printers than rows) it shrinks to one summary line and the failing printers; no line
// is longer than the terminal is wide, so none wraps and the redraw stays in place.
class FleetView {
public:
    FleetView(int fd, bool bTerminal, const std::vector<std::string>& ports)
        : m_fd(fd), m_bTerminal(bTerminal), m_lines(ports.size()) {
        for (std::size_t i = 0; i < ports.size(); ++i) m_lines[i].strPort = ports[i];
        std::size_t nWidth = 0;
        for (const std::string& port : ports) nWidth = std::max(nWidth, port.size());
        m_nPortWidth = static_cast<int>(nWidth);
    }

    void ChildLine(std::size_t nIndex, const std::string& text) {
        if (text.empty()) return;
        const std::string line = Printable(text);
        Line& l = m_lines[nIndex];
        if (std::optional<ProgressText> progress = ParseProgressText(line)) {
            DWORD dwNow = GetTickCount();
            if (progress->strLabel != l.strPhase || progress->nPercent < l.nPercent) l.dwPhaseStart = dwNow;
            l.strPhase = progress->strLabel;
            l.nPercent = progress->nPercent;
            l.dwPhaseMs = dwNow - l.dwPhaseStart;
        } else if (line.starts_with("  ") && !l.strStep.empty()) {
            // A child's progress line under its step's name ("  42%  50,400 of ...").
            l.strPhase = l.strStep + ":" + line.substr(1);
            l.nPercent = -1;
        } else {
            l.strPhase = line;
            l.strStep = line;
            l.nPercent = -1;
        }
        if (!m_bTerminal) {
            WriteAll(m_fd, l.strPort + ": " + line + "\n");
        } else {
            Draw();
        }
    }
    // nState: kWaiting, kRunning, or the exit status the printer ended with.
    void SetPhase(std::size_t nIndex, const std::string& text, int nState) {
        m_lines[nIndex].strPhase = Printable(text);
        m_lines[nIndex].nPercent = -1;
        m_lines[nIndex].nState = nState;
        if (!m_bTerminal) {
            WriteAll(m_fd, m_lines[nIndex].strPort + ": " + m_lines[nIndex].strPhase + "\n");
        } else {
            Draw();
        }
    }
    // Own lines of the parent, below the printers' block, which starts again below them
    // unless this is the last word.
    void Message(const std::string& text, bool bBlockAfter = true) {
        WriteAll(m_fd, text + "\n");
        m_nDrawn = 0;
        if (m_bTerminal && bBlockAfter) Draw();
    }

    static constexpr int kWaiting = -2;
    static constexpr int kRunning = -1;

private:
    struct Line {
        std::string strPort;
        std::string strPhase = "waiting";
        std::string strStep;  // the child's last line that was no progress line
        int nPercent = -1;
        DWORD dwPhaseStart = 0;
        DWORD dwPhaseMs = 0;
        int nState = kWaiting;
    };
    // Cut to the width without splitting a UTF-8 sequence.
    static std::string Fit(std::string text, std::size_t nColumns) {
        if (nColumns == 0 || text.size() < nColumns) return text;
        std::size_t n = nColumns - 1;
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
        text.resize(n);
        return text;
    }
    std::string LineText(const Line& l) const {
        std::string phase = l.strPhase.substr(0, l.strPhase.find('\n'));
        std::string text = StrPrintf("%-*s  %s", m_nPortWidth, l.strPort.c_str(), phase.c_str());
        if (l.nPercent >= 0) {
            text += StrPrintf(" %3d%%", l.nPercent);
            // The share of the phase done per second: the pause of a printer that
            // rewrites its flash shows as a slow phase, not as a stalled one.
            if (l.dwPhaseMs >= 1000) text += StrPrintf("  %.1f %%/s", l.nPercent * 1000.0 / l.dwPhaseMs);
        }
        return text;
    }
    void Draw() {
        winsize size{};
        std::size_t nRows = 0, nColumns = 0;
        if (::ioctl(m_fd, TIOCGWINSZ, &size) == 0) {
            nRows = size.ws_row;
            nColumns = size.ws_col;
        }
        std::vector<std::string> rows;
        // The block, the parent's last line and the cursor's row must fit.
        if (nRows == 0 || m_lines.size() + 2 <= nRows) {
            for (const Line& l : m_lines) rows.push_back(LineText(l));
        } else {
            int nWaiting = 0, nRunning = 0, nDone = 0, nFailed = 0;
            for (const Line& l : m_lines) {
                if (l.nState == kWaiting) ++nWaiting;
                else if (l.nState == kRunning) ++nRunning;
                else if (l.nState == 0 || l.nState == 2) ++nDone;
                else ++nFailed;
            }
            rows.push_back(StrPrintf("%s: %d running, %d done, %d failed, %d waiting", Printers(m_lines.size()).c_str(),
                                     nRunning, nDone, nFailed, nWaiting));
            for (const Line& l : m_lines) {
                if (l.nState == kWaiting || l.nState == kRunning || l.nState == 0 || l.nState == 2) continue;
                if (rows.size() + 2 >= nRows) break;
                rows.push_back(LineText(l));
            }
        }
        std::string text;
        if (m_nDrawn > 0) text += StrPrintf("\033[%dA", m_nDrawn);
        for (const std::string& row : rows) text += "\r\033[K" + Fit(row, nColumns) + "\n";
        // A block that shrank leaves its old last rows below: cleared.
        if (m_nDrawn > static_cast<int>(rows.size())) text += "\033[J";
        m_nDrawn = static_cast<int>(rows.size());
        WriteAll(m_fd, text);
    }

    int m_fd;
    bool m_bTerminal;
    std::vector<Line> m_lines;
    int m_nPortWidth = 0;
    int m_nDrawn = 0;
};

// Reads what is there; false at the end of the stream or on an error.
bool ReadSome(int fd, std::string* pText) {
    std::array<char, 4096> buffer;
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            pText->append(buffer.data(), static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

// The parent's port and kind in a child's object that has none (it ended before it chose).
std::string WithPortAndKind(std::string json, const std::string& port, const std::string& kind) {
    auto fill = [&json](std::string_view key, const std::string& value) {
        if (value.empty()) return;
        std::string null = "\"" + std::string(key) + "\":null";
        if (std::size_t at = json.find(null); at != std::string::npos) {
            json.replace(at, null.size(), "\"" + std::string(key) + "\":" + JsonString(value));
        }
    };
    fill("kind", kind);
    fill("port", port);
    return json;
}

void AddKindAndPort(JsonObject& object, const FleetResult& result) {
    if (result.strKind.empty()) {
        object.AddNull("kind");
    } else {
        object.Add("kind", std::string_view(result.strKind));
    }
    object.Add("port", std::string_view(result.strPort));
}

std::string ResultOfChild(const FleetResult& result, const std::string& outText, int nExitStatus) {
    // The object is the child's last line on stdout.
    std::string_view text = Trim(outText);
    std::size_t nLast = text.rfind('\n');
    std::string_view last = nLast == std::string_view::npos ? text : text.substr(nLast + 1);
    if (last.starts_with('{') && last.ends_with('}')) return WithPortAndKind(std::string(last), result.strPort, result.strKind);
    JsonObject object;
    object.AddNull("result").AddNull("result_name").Add("exit_status", static_cast<std::int64_t>(nExitStatus));
    AddKindAndPort(object, result);
    object.Add("messages", std::vector<std::string>{StrPrintf(
                               "kelvo-cli ended without a result (exit status %d)", nExitStatus)});
    object.Add("result_text", "kelvo-cli ended without a result; its log (Kelvo-<port>.log) tells how far it came.");
    return object.Text();
}

std::string NotStartedResult(
    const FleetResult& result, const std::string& why = "Not started: the run was cancelled",
    std::string_view text = "Not started: the fleet run was cancelled before this printer's turn.") {
    JsonObject object;
    object.Add("result", static_cast<std::int64_t>(ERROR_CANCELLED))
        .Add("result_name", "ERROR_CANCELLED")
        .Add("exit_status", static_cast<std::int64_t>(3));
    AddKindAndPort(object, result);
    object.Add("messages", std::vector<std::string>{why}).Add("result_text", text);
    return object.Text();
}

// A result object with another sentence: result_text is its last field.
std::string WithResultText(std::string json, std::string_view text) {
    constexpr std::string_view kText = ",\"result_text\":";
    std::size_t at = json.rfind(kText);
    if (at == std::string::npos) return json;
    std::string field = JsonObject().Add("result_text", text).Text();
    json.replace(at + 1, std::string::npos, field.substr(1));
    return json;
}

// A child's object after --timeout cancelled it: exit status 1, a field that says why,
// and a sentence that says so (the child's own only knows it was cancelled).
std::string MarkTimedOut(std::string json, int nTimeout) {
    const std::string status = "\"exit_status\":3,";
    if (std::size_t at = json.find(status); at != std::string::npos) {
        json.replace(at, status.size(), StrPrintf("\"exit_status\":1,\"timed_out_after_s\":%d,", nTimeout));
    }
    return WithResultText(json, StrPrintf("The update took longer than --timeout %d s and was cancelled; its log tells "
                                          "how far it came: run it again, with a longer --timeout if it was still "
                                          "sending.",
                                          nTimeout));
}

// A check child's object, made before an update in the fleet, as the update run's own:
// without the check's own fields; a current printer with the update's sentence.
std::string AsUpdateResult(std::string json, int nExitStatus) {
    for (std::string_view field : {std::string_view(",\"would_send\":["), std::string_view(",\"checksums\":{")}) {
        std::size_t at = json.find(field);
        std::size_t end = at == std::string::npos ? at : json.find(field.back() == '[' ? ']' : '}', at);
        if (end != std::string::npos) json.erase(at, end + 1 - at);
    }
    if (nExitStatus != 2) return json;
    // Current: as after an update that had nothing to send, the firmware after is the one before.
    JsonValue object;
    if (ParseJson(json, &object)) {
        for (auto [pszBefore, pszAfter] : {std::pair{"firmware_before", "firmware_after"}, std::pair{"rom_id_before", "rom_id_after"}}) {
            const JsonValue* pBefore = object.Find(pszBefore);
            const std::string null = "\"" + std::string(pszAfter) + "\":null";
            std::size_t at = json.find(null);
            if (pBefore == nullptr || pBefore->type != JsonValue::Type::String || at == std::string::npos) continue;
            json.replace(at, null.size(), "\"" + std::string(pszAfter) + "\":" + JsonString(pBefore->text));
        }
    }
    CliReport current;
    current.dwResult = ERROR_ALREADY_REGISTERED;
    return WithResultText(json, CliResultText(current));
}

// Where a printer's own log is: Kelvo-<port>.log beside the parent's.
std::string ChildLogPath(const std::string& logFolder, const std::string& port) {
    if (logFolder.empty()) return {};
    return logFolder + "/" + LOG_PROGRAM_NAME + "-" + PortFileTag(port) + ".log";
}

// A failed or timed-out printer's outcome for people: what, why and where its log is.
// Empty for the others.
std::string FailureText(const FleetResult& result, const std::string& logFolder) {
    if (result.nExitStatus == 0 || result.nExitStatus == 2 || result.nExitStatus == 3) return {};
    JsonValue object;
    if (!ParseJson(result.strJson, &object)) object = JsonValue();
    auto text = [&object](std::string_view key) {
        const JsonValue* pValue = object.Find(key);
        return pValue != nullptr && pValue->type == JsonValue::Type::String ? Printable(pValue->text) : std::string();
    };
    const bool bTimedOut = object.Find("timed_out_after_s") != nullptr;
    std::string name = text("result_name");
    std::string line = bTimedOut ? "timed out" : "failed";
    if (!name.empty() && !bTimedOut) line += " (" + name + ")";
    if (std::string reason = text("result_text"); !reason.empty()) line += ": " + reason;
    if (std::string log = ChildLogPath(logFolder, result.strPort); !log.empty()) line += " Log: " + Printable(log);
    return line;
}

bool IsTtyName(std::string_view name) {
    if (name.empty()) return false;
    for (char ch : name) {
        bool bOk = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_' ||
                   ch == '-' || ch == '.';
        if (!bOk) return false;
    }
    return true;
}

// A socket pair: the parent's end, greeting already written, and the child's, which
// SpawnProcess hands over as descriptor 3 (so neither may be 3 here). Invalid on failure.
void MakeChannel(UniqueFd* pParent, UniqueFd* pChild) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    UniqueFd parent(pair[0]), child(pair[1]);
    if (child.Get() <= kSpawnChannelFd) child.Reset(::fcntl(child.Get(), F_DUPFD_CLOEXEC, kSpawnChannelFd + 1));
    if (!child || ::send(parent.Get(), kChannelGreeting.data(), kChannelGreeting.size(), MSG_NOSIGNAL) !=
                      static_cast<ssize_t>(kChannelGreeting.size())) {
        return;
    }
    *pParent = std::move(parent);
    *pChild = std::move(child);
}

// The units this parent stopped, started again; those it found stopped stay so.
void StartServicesStoppedHere(const ServiceLimits& limits) {
    std::vector<std::string> units = UnitsStoppedHere();
    auto stopped = [&units](std::string_view unit) { return std::find(units.begin(), units.end(), unit) != units.end(); };
    if (stopped(kSpoolerUnit) || stopped("cups.socket") || stopped("cups.path")) SpoolerControl(TRUE, nullptr, limits);
    if (stopped(kPosServiceUnit)) PosServiceControl(TRUE, limits);
}

// A printer's line at its end, for people.
std::string OutcomeText(const FleetResult& result, bool bCheck, const std::string& logFolder) {
    switch (result.nExitStatus) {
        case 0: return bCheck ? "needs an update" : "updated";
        case 2: return "current";
        case 3: return "cancelled";
        default: return FailureText(result, logFolder);
    }
}

// What a --json-lines phase event calls a child's line: its step's name, or "prepare"
// for the identification's status; empty for every other line.
std::string_view PhaseOfLine(std::string_view line) {
    if (line == LoadResString(IDS_PREPARING)) return "prepare";
    return StepPhase(line);
}

// The run's result, kept for the next --retry-failed, and said where; a result that
// cannot be kept is said too (the run itself is not worse for it).
void KeepResult(const std::string& json, const std::vector<FleetResult>& results) {
    std::string path, error;
    if (!SaveLastFleetResult(json, &path, &error)) {
        WriteAll(STDERR_FILENO, std::string(kProgramName) + ": the result was not kept for --retry-failed: " + error + "\n");
        return;
    }
    const bool bAnyFailed = std::any_of(results.begin(), results.end(), [](const FleetResult& result) {
        return result.nExitStatus != 0 && result.nExitStatus != 2;
    });
    WriteAll(STDERR_FILENO, std::string(kProgramName) + ": the result is kept in " + path +
                                (bAnyFailed ? "; --retry-failed (no file) runs the printers that failed or were not "
                                              "started again"
                                            : "") +
                                "\n");
}

}  // namespace

bool CheckPortName(std::string_view name, int nKind, std::string* pWhy) {
    if (Utf8Length(name) > PORT_NAME_MAX) {
        *pWhy = StrPrintf("port name longer than %d characters", static_cast<int>(PORT_NAME_MAX));
        return false;
    }
    for (char ch : name) {
        unsigned char uch = static_cast<unsigned char>(ch);
        if (uch <= 0x20 || uch == 0x7F || ch == '/') {
            *pWhy = "a port name has no blanks, control characters or '/'";
            return false;
        }
    }
    const std::string text(name);
    bool bFits = true;
    const char* pszWhat = "";
    if (nKind == PORT_KIND_LAN) {
        in_addr addr{};
        bFits = ::inet_pton(AF_INET, text.c_str(), &addr) == 1;
        pszWhat = "an IPv4 address such as 192.168.0.20";
    } else if (nKind == PORT_KIND_USB) {
        unsigned nLp = 0;
        bFits = UsbLpOfPortName(text, &nLp) && text.size() == UsbPortName(nLp).size();
        pszWhat = "USB and its number, such as USB001";
    } else if (nKind == PORT_KIND_BLUETOOTH) {
        bFits = ParseBthAddress(text.c_str()) != 0;
        pszWhat = "a Bluetooth address such as 02:00:00:12:34:56";
    } else if (nKind == PORT_KIND_SERIAL) {
        bFits = IsTtyName(text);
        pszWhat = "a tty name such as ttyS0 or ttyUSB0";
    }
    if (!bFits) {
        *pWhy = "'" + text + "' is no " + PortKindWord(nKind) + " port: " + pszWhat;
        return false;
    }
    return true;
}

bool ParsePortsText(std::string_view text, int nKind, std::vector<std::string>* pPorts, std::string* pError) {
    int nLine = 0;
    while (!text.empty()) {
        std::size_t nEnd = text.find('\n');
        std::string_view line = text.substr(0, nEnd);
        text = nEnd == std::string_view::npos ? std::string_view() : text.substr(nEnd + 1);
        ++nLine;
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty()) continue;
        std::string why;
        if (!CheckPortName(line, nKind, &why)) {
            *pError = StrPrintf("line %d: ", nLine) + Printable(why);
            return false;
        }
        AddUnique(pPorts, std::string(line));
    }
    return true;
}

bool FailedPortsOfResult(std::string_view json, int nKind, std::vector<std::string>* pPorts, std::string* pError) {
    JsonValue document;
    // A fleet's result has a few dozen values per printer.
    if (!ParseJson(json, &document, 64 * FLEET_PRINTERS_MAX) || document.type != JsonValue::Type::Object) {
        *pError = "not a kelvo-cli --json result (or one of more than " + std::to_string(FLEET_PRINTERS_MAX) +
                  " printers)";
        return false;
    }
    std::vector<const JsonValue*> results;
    if (const JsonValue* pList = document.Find("results"); pList != nullptr && pList->type == JsonValue::Type::Array) {
        for (const JsonValue& item : pList->items) results.push_back(&item);
    } else if (document.Find("exit_status") != nullptr) {
        results.push_back(&document);
    } else {
        *pError = "not a kelvo-cli --json result";
        return false;
    }
    if (results.size() > FLEET_PRINTERS_MAX) {
        *pError = StrPrintf("%zu results: a fleet updates at most %zu printers", results.size(), FLEET_PRINTERS_MAX);
        return false;
    }
    for (std::size_t i = 0; i < results.size(); ++i) {
        const JsonValue* pStatus = results[i]->Find("exit_status");
        const JsonValue* pPort = results[i]->Find("port");
        if (pStatus == nullptr || pStatus->type != JsonValue::Type::Number || pPort == nullptr ||
            pPort->type != JsonValue::Type::String) {
            *pError = StrPrintf("result %zu has no exit status or no port", i + 1);
            return false;
        }
        if (pStatus->dValue == 0 || pStatus->dValue == 2) continue;
        std::string why;
        if (!CheckPortName(pPort->text, nKind, &why)) {
            *pError = StrPrintf("result %zu: ", i + 1) + Printable(why);
            return false;
        }
        AddUnique(pPorts, pPort->text);
    }
    return true;
}

FleetChannel TakeFleetChannel() noexcept {
    const int fd = kSpawnChannelFd;
    ucred cred{};
    socklen_t nCred = sizeof cred;
    int nType = 0;
    socklen_t nType_ = sizeof nType;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &nType, &nType_) != 0 || nType != SOCK_STREAM) return FleetChannel::None;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &nCred) != 0) return FleetChannel::None;
    // A socket pair's credentials are those of the process that made it: the parent.
    if (cred.pid <= 1) return FleetChannel::None;
    std::array<char, 64> greeting{};
    ssize_t n = ::recv(fd, greeting.data(), kChannelGreeting.size(), MSG_PEEK | MSG_DONTWAIT);
    if (n != static_cast<ssize_t>(kChannelGreeting.size()) ||
        std::string_view(greeting.data(), static_cast<std::size_t>(n)) != kChannelGreeting) {
        return FleetChannel::None;
    }
    ::recv(fd, greeting.data(), kChannelGreeting.size(), MSG_DONTWAIT);
    // No program this one starts inherits it.
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    // Killed outright with the parent, as a cable pulled: the parent's services and its
    // record are what a later start puts right, and nothing here may outlive them.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) return FleetChannel::ParentGone;
    // The parent may have died before the line above: then this one has a new parent.
    if (::getppid() != cred.pid) return FleetChannel::ParentGone;
    return FleetChannel::Child;
}

// Reads a ports file or a result file whole: a plain file (never a FIFO that would hold
// the run, never through a link as root) of at most FLEET_FILE_MAX bytes.
static bool ReadFleetFile(const std::string& path, std::string* pText, std::string* pError) {
    PlainFile file = OpenPlainFile(path.c_str());
    if (!file.fd) {
        *pError = "cannot read " + path + ": " + (file.strWhyNot.empty() ? std::strerror(file.nErrno) : file.strWhyNot);
        return false;
    }
    if (static_cast<unsigned long long>(file.info.st_size) > FLEET_FILE_MAX) {
        *pError = path + " is " + std::to_string(file.info.st_size) + " bytes, more than a ports or result file can be (" +
                  std::to_string(FLEET_FILE_MAX >> 20) + " MiB): is it the right file?";
        return false;
    }
    const int err = ReadBounded(file.fd.Get(), FLEET_FILE_MAX, pText);
    if (err == EFBIG) {
        *pError = path + " is more than " + std::to_string(FLEET_FILE_MAX >> 20) + " MiB: is it the right file?";
    } else if (err != 0) {
        *pError = "cannot read " + path + ": " + std::strerror(err);
    }
    return err == 0;
}

bool CollectFleetPorts(const CliOptions& givenOptions, const DiscoveryFactory& discovery, std::vector<std::string>* pPorts,
                       std::string* pError, bool* pbNothingToDo) {
    if (pbNothingToDo != nullptr) *pbNothingToDo = false;
    // --retry-failed without a file: the last fleet run's result.
    CliOptions options = givenOptions;
    if (options.bRetryFailed && options.strRetryFailed.empty()) {
        options.strRetryFailed = LastFleetResultPath(pError);
        if (options.strRetryFailed.empty()) return false;
    }
    pPorts->clear();
    for (const std::string& port : options.ports) AddUnique(pPorts, port);
    if (!options.strPortsFrom.empty()) {
        std::string text;
        if (!ReadFleetFile(options.strPortsFrom, &text, pError)) return false;
        std::string error;
        if (!ParsePortsText(text, options.nKind ? *options.nKind : -1, pPorts, &error)) {
            *pError = options.strPortsFrom + ", " + error;
            return false;
        }
    }
    if (!options.strRetryFailed.empty()) {
        std::string text;
        if (!ReadFleetFile(options.strRetryFailed, &text, pError)) return false;
        std::string error;
        std::size_t nBefore = pPorts->size();
        if (!FailedPortsOfResult(text, options.nKind ? *options.nKind : -1, pPorts, &error)) {
            *pError = options.strRetryFailed + ", " + error;
            return false;
        }
        if (pPorts->size() == nBefore && options.ports.empty() && options.strPortsFrom.empty() && !options.bAll) {
            *pError = "no printer failed in " + options.strRetryFailed + ": nothing to do";
            if (pbNothingToDo != nullptr) *pbNothingToDo = true;
            return false;
        }
    }
    if (options.bAll) {
        if (!options.nKind) {
            *pError = "--all needs --kind";
            return false;
        }
        std::vector<std::string> lines;
        bool bHasDiscovery = false;
        DiscoverPorts(discovery, *options.nKind, &lines, &bHasDiscovery);
        if (!bHasDiscovery) {
            *pError = std::string("this program cannot search for ") + PortKindWord(*options.nKind) + " printers yet";
            return false;
        }
        for (const std::string& line : lines) AddUnique(pPorts, PortNameOfLine(line));
    }
    if (pPorts->empty()) {
        *pError = "no printer to update";
        return false;
    }
    if (pPorts->size() > FLEET_PRINTERS_MAX) {
        *pError = StrPrintf("%zu printers: a fleet run updates at most %zu; split the list", pPorts->size(),
                            FLEET_PRINTERS_MAX);
        return false;
    }
    return true;
}

std::vector<std::string> FleetChildArgs(const std::string& program, const CliOptions& options,
                                        const std::string& port) {
    std::vector<std::string> args{program, "--port", port, "--json"};
    if (options.nKind) {
        args.push_back("--kind");
        args.push_back(PortKindWord(*options.nKind));
    }
    if (options.bForce) args.push_back("--force");
    if (options.bCheck) args.push_back("--check");
    if (options.bYes) args.push_back("--yes");
    return args;
}

int FleetExitStatus(const std::vector<FleetResult>& results, bool bCancelled) noexcept {
    if (bCancelled) return 3;
    bool bAllCurrent = !results.empty();
    for (const FleetResult& result : results) {
        if (result.nExitStatus != 0 && result.nExitStatus != 2) return 1;
        bAllCurrent = bAllCurrent && result.nExitStatus == 2;
    }
    return bAllCurrent ? 2 : 0;
}

std::string FleetSummaryJson(const std::vector<FleetResult>& results, int nExitStatus, DWORD dwDurationMs) {
    std::array<std::int64_t, 4> counts{};
    for (const FleetResult& result : results) {
        // Any other status (a child killed by a signal) counts as the failure it is.
        std::size_t n = result.nExitStatus >= 0 && result.nExitStatus <= 3 ? static_cast<std::size_t>(result.nExitStatus) : 1;
        ++counts[n];
    }
    JsonObject byStatus;
    for (std::size_t n = 0; n < counts.size(); ++n) byStatus.Add(std::to_string(n), counts[n]);
    JsonObject summary;
    summary.Add("printers", static_cast<std::int64_t>(results.size()))
        .Add("exit_status", static_cast<std::int64_t>(nExitStatus))
        .AddRaw("by_exit_status", byStatus.Text())
        .Add("duration_ms", static_cast<std::int64_t>(dwDurationMs));
    return summary.Text();
}

std::string FleetJson(const std::vector<FleetResult>& results, int nExitStatus, DWORD dwDurationMs) {
    std::string list = "[";
    for (const FleetResult& result : results) {
        if (list.size() > 1) list += ",";
        list += result.strJson;
    }
    list += "]";
    JsonObject object;
    object.AddRaw("results", list).AddRaw("summary", FleetSummaryJson(results, nExitStatus, dwDurationMs));
    return object.Text();
}

std::string FleetSummaryTable(const std::vector<FleetResult>& results, const std::string& logFolder) {
    std::vector<std::array<std::string, 6>> rows{{"PORT", "MODEL", "FIRMWARE", "SENT", "RESULT", "TIME"}};
    std::vector<std::string> failures{""};  // under each row: why it failed, and its log
    for (const FleetResult& result : results) {
        JsonValue object;
        if (!ParseJson(result.strJson, &object)) object = JsonValue();
        auto text = [&object](std::string_view key) {
            const JsonValue* pValue = object.Find(key);
            return pValue != nullptr && pValue->type == JsonValue::Type::String ? Printable(pValue->text) : std::string();
        };
        std::string before = text("firmware_before"), after = text("firmware_after");
        std::string firmware = before.empty() && after.empty() ? "-"
                               : after.empty() || after == before ? (before.empty() ? after : before)
                                                                  : (before.empty() ? "unknown" : before) + " -> " + after;
        std::string sent;
        if (const JsonValue* pSent = object.Find("sent"); pSent != nullptr) {
            for (const JsonValue& item : pSent->items) sent += (sent.empty() ? "" : " ") + Printable(item.text);
        }
        std::string outcome = result.nExitStatus == 0   ? "updated"
                              : result.nExitStatus == 2 ? "current"
                              : result.nExitStatus == 3 ? "cancelled"
                                                        : "failed";
        if (const JsonValue* pTimedOut = object.Find("timed_out_after_s"); pTimedOut != nullptr) outcome = "timed out";
        std::string name = text("result_name");
        if (!name.empty() && result.nExitStatus != 0 && result.nExitStatus != 2) outcome += " (" + name + ")";
        std::string duration = "-";
        if (const JsonValue* pMs = object.Find("duration_ms"); pMs != nullptr && pMs->type == JsonValue::Type::Number) {
            duration = StrPrintf("%.1f s", pMs->dValue / 1000.0);
        }
        std::string model = text("model");
        rows.push_back({Printable(result.strPort), model.empty() ? "-" : model, firmware, sent.empty() ? "-" : sent,
                        outcome, duration});
        failures.push_back(FailureText(result, logFolder));
    }
    std::array<std::size_t, 6> widths{};
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Utf8Length(row[c]));
    }
    std::string table;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        std::string line;
        for (std::size_t c = 0; c < rows[r].size(); ++c) {
            line += rows[r][c];
            if (c + 1 < rows[r].size()) line += std::string(widths[c] - Utf8Length(rows[r][c]) + 2, ' ');
        }
        table += line + "\n";
        if (!failures[r].empty()) table += "  " + failures[r] + "\n";
    }
    return table;
}

int RunFleet(const CliOptions& options, int fdInterrupt) {
    const DWORD dwStart = GetTickCount();
    auto finish = [&](const std::vector<FleetResult>& results, int nStatus) {
        LogMessage(LOG_APP, 'I', __LINE__, 0, "[[[ Fleet run ended: exit status %d ]]]", nStatus);
        const std::string json = FleetJson(results, nStatus, GetTickCount() - dwStart);
        if (!results.empty()) KeepResult(json, results);
        if (options.bJsonLines) {
            WriteAll(STDOUT_FILENO, JsonObject()
                                        .Add("event", "summary")
                                        .AddRaw("summary", FleetSummaryJson(results, nStatus, GetTickCount() - dwStart))
                                        .Text() +
                                        "\n");
        } else if (options.bJson) {
            WriteAll(STDOUT_FILENO, json + "\n");
        }
        return nStatus;
    };
    // Begun afresh only under the lock: a refused run adds its lines to the running one's.
    LogSetupPending(LOG_PROGRAM_MASK, LOG_PROGRAM_NAME);

    // --json-lines: each event as it happens, so a parent killed later loses nothing done;
    // each names the stage it belongs to.
    const char* pszStage = nullptr;
    auto event = [&options, &pszStage](const char* pszEvent, const std::string& port,
                                       const std::function<void(JsonObject&)>& more) {
        if (!options.bJsonLines) return;
        JsonObject object;
        object.Add("event", pszEvent).Add("stage", pszStage).Add("port", std::string_view(port));
        if (more) more(object);
        WriteAll(STDOUT_FILENO, object.Text() + "\n");
    };
    auto beginStage = [&options, &pszStage](const char* pszName, std::size_t nPrinters) {
        pszStage = pszName;
        if (!options.bJsonLines) return;
        WriteAll(STDOUT_FILENO, JsonObject()
                                    .Add("event", "stage")
                                    .Add("stage", pszName)
                                    .Add("printers", static_cast<std::int64_t>(nPrinters))
                                    .Text() +
                                    "\n");
    };
    if (options.bJsonLines) {
        // The first line says which events follow; a reader checks it before any other.
        WriteAll(STDOUT_FILENO, JsonObject()
                                    .Add("event", "begin")
                                    .Add("schema", kEventSchema)
                                    .Add("command", options.bCheck ? "check" : "update")
                                    .Text() +
                                    "\n");
    }

    LockOnly lockFrontEnd;
    std::string failedLock;
    const BOOL bLocked = CheckSingleInstance(lockFrontEnd, &failedLock);
    {
        LastErrorGuard keep;
        LogBegin(bLocked ? LogStart::Fresh : LogStart::Append);
    }
    if (!bLocked) {
        DWORD dwError = GetLastError();
        LogMessage(LOG_APP, 'I', __LINE__, dwError, "Instance lock not had [%s]", failedLock.c_str());
        WriteAll(STDERR_FILENO, std::string(kProgramName) +
                                    (dwError == ERROR_ALREADY_EXISTS || dwError == ERROR_BUSY
                                         ? ": another Kelvo update is running on this machine\n"
                                         : ": cannot take the lock " + failedLock + "\n"));
        return finish({}, 1);
    }

    std::vector<std::string> ports;
    std::string error;
    bool bNothingToDo = false;
    if (!CollectFleetPorts(options, MakeDiscovery, &ports, &error, &bNothingToDo)) {
        WriteAll(STDERR_FILENO, std::string(kProgramName) + ": " + error + "\n");
        return finish({}, bNothingToDo ? 2 : 1);
    }
    LogMessage(LOG_APP, 'I', __LINE__, 0, "[[[ Fleet run: %zu printers, at most %d at once ]]]", ports.size(),
               options.nParallel);

    std::vector<FleetResult> results(ports.size());
    for (std::size_t i = 0; i < ports.size(); ++i) {
        results[i].strPort = ports[i];
        if (options.nKind) results[i].strKind = PortKindWord(*options.nKind);
    }

    // Broken files fail every printer alike: said once, before any child or service.
    SetMessageBox(&lockFrontEnd);
    int nFileTypeId = -1;
    std::vector<std::string> configNotes;
    const DWORD dwFiles = CheckUpdateFilesOnce(&nFileTypeId, &configNotes);
    SetMessageBox(nullptr);
    if (dwFiles != ERROR_SUCCESS) {
        LogMessage(LOG_APP, 'I', __LINE__, dwFiles, "Update files not usable: no printer started");
        CliReport report;
        report.dwResult = dwFiles;
        report.nExitStatus = ExitStatusFromResult(dwFiles);
        report.messages = lockFrontEnd.messages;
        if (nFileTypeId > 0 && static_cast<std::size_t>(nFileTypeId) < MODEL_TABLE_SIZE && dwFiles != ERROR_BAD_CONFIGURATION) {
            report.nTypeId = nFileTypeId;
            report.strModel = ModelTable[static_cast<std::size_t>(nFileTypeId)].pszModelName;
        }
        for (FleetResult& result : results) {
            report.strPort = result.strPort;
            report.strKind = result.strKind;
            result.nExitStatus = report.nExitStatus;
            result.strJson = WithPortAndKind(CliReportJson(report), result.strPort, result.strKind);
        }
        for (const std::string& note : configNotes) WriteAll(STDERR_FILENO, std::string(kProgramName) + ": " + note + "\n");
        WriteAll(STDERR_FILENO, std::string(kProgramName) + ": " + CliResultText(report) + "\n" + kProgramName + ": " +
                                    CliResultLine(report) + "\n");
        return finish(results, report.nExitStatus);
    }

    FleetView view(STDERR_FILENO, ::isatty(STDERR_FILENO) != 0, ports);
    view.Message(std::string(options.bCheck ? "Checking " : "Updating ") + Printers(ports.size()) +
                 (ports.size() > 1 ? StrPrintf(", at most %d at once.", options.nParallel) : std::string(".")));

    UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    const std::string program = SelfPath();
    std::deque<std::size_t> pending;
    for (std::size_t i = 0; i < ports.size(); ++i) pending.push_back(i);
    std::vector<std::unique_ptr<Child>> running;
    int nInterrupts = 0;
    int nFailures = 0;
    // An update checks every printer first (children with --check); the printers that
    // need it are updated after the services have given way, and only when there are any.
    const bool bCheckFirst = !options.bCheck;
    bool bPreCheck = bCheckFirst;
    CliOptions checkOptions = options;
    checkOptions.bCheck = true;
    std::vector<std::size_t> toUpdate;
    // Pending runs, and with them those the check found in need, are not started.
    auto notStarted = [&](const std::string& why, std::string_view text) {
        for (std::size_t nIndex : toUpdate) pending.push_back(nIndex);
        toUpdate.clear();
        for (std::size_t nIndex : pending) {
            results[nIndex].nExitStatus = 3;
            results[nIndex].strJson = NotStartedResult(results[nIndex], why, text);
            view.SetPhase(nIndex, "not started", 3);
            event("result", ports[nIndex], [&](JsonObject& o) { o.AddRaw("result", results[nIndex].strJson); });
        }
        pending.clear();
    };

    auto startNext = [&] {
        std::size_t nIndex = pending.front();
        pending.pop_front();
        int outPipe[2], errPipe[2];
        if (::pipe2(outPipe, O_CLOEXEC) != 0) outPipe[0] = outPipe[1] = -1;
        if (::pipe2(errPipe, O_CLOEXEC) != 0) errPipe[0] = errPipe[1] = -1;
        UniqueFd outRead(outPipe[0]), outWrite(outPipe[1]), errRead(errPipe[0]), errWrite(errPipe[1]);
        UniqueFd channel, childChannel;
        MakeChannel(&channel, &childChannel);
        auto child = std::make_unique<Child>();
        child->nIndex = nIndex;
        // Its own process group: a Ctrl+C reaches the children only through the parent.
        BOOL bStarted = outRead && errRead && channel &&
                        SpawnProcess(FleetChildArgs(program, bPreCheck ? checkOptions : options, ports[nIndex]), true,
                                     SpawnStdio{devNull.Get(), outWrite.Get(), errWrite.Get(), childChannel.Get()},
                                     &child->pid);
        if (!bStarted) {
            DWORD dwError = GetLastError();
            LogMessage(LOG_ERROR, 'E', __LINE__, dwError, "Cannot start the update of [%s]", ports[nIndex].c_str());
            results[nIndex].nExitStatus = 1;
            results[nIndex].strJson = ResultOfChild(results[nIndex], "", 1);
            view.SetPhase(nIndex, StrPrintf("cannot start kelvo-cli (error %u)", dwError), 1);
            return;
        }
        LogMessage(LOG_APP, 'I', __LINE__, 0, "%s of [%s] started [pid %d]", bPreCheck ? "Check" : "Update",
                   ports[nIndex].c_str(), static_cast<int>(child->pid));
        ::fcntl(outRead.Get(), F_SETFL, O_NONBLOCK);
        ::fcntl(errRead.Get(), F_SETFL, O_NONBLOCK);
        child->out = std::move(outRead);
        child->err = std::move(errRead);
        child->channel = std::move(channel);
        // A check is bounded by the identification's own limits; the limit is the update's.
        if (options.nTimeout > 0 && !bPreCheck) child->limit = Deadline(static_cast<DWORD>(options.nTimeout) * 1000);
        view.SetPhase(nIndex, "started", FleetView::kRunning);
        event("start", ports[nIndex], {});
        running.push_back(std::move(child));
    };
    auto forwardInterrupt = [&] {
        for (const auto& child : running) ::kill(child->pid, SIGINT);
    };
    auto onInterrupt = [&] {
        ++nInterrupts;
        LogMessage(LOG_APP, 'I', __LINE__, 0, "Interrupted by the user [%d]", nInterrupts);
        if (nInterrupts == 1) {
            view.Message("Cancelling every update... Interrupt again to quit sooner.");
            notStarted("Not started: the run was cancelled",
                       "Not started: the fleet run was cancelled before this printer's turn.");
            forwardInterrupt();
        } else if (nInterrupts == 2) {
            view.Message("Quitting: each update restores what it changed, then the services start again...");
            forwardInterrupt();
        }
    };
    auto childText = [&](Child& child) {
        std::size_t nEnd;
        while ((nEnd = child.errLine.find('\n')) != std::string::npos) {
            std::string line = child.errLine.substr(0, nEnd);
            child.errLine.erase(0, nEnd + 1);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            view.ChildLine(child.nIndex, line);
            std::string text(Trim(line));
            if (text.empty()) continue;
            std::optional<ProgressText> progress = ParseProgressText(text);
            // A percent line under its step's name: "  42%  50,400 of 120,000 bytes".
            if (!progress && line.starts_with("  ") && !child.lastStep.empty()) {
                std::size_t nDigits = text.find_first_not_of("0123456789");
                if (nDigits > 0 && nDigits != std::string::npos && nDigits <= 3 && text[nDigits] == '%') {
                    progress = ProgressText{child.lastStep, std::stoi(text.substr(0, nDigits))};
                }
            }
            if (progress) {
                const std::string_view phase = PhaseOfLine(progress->strLabel);
                // At most one a second, and each new phase at once.
                if (phase.empty() || (progress->strLabel == child.lastLabel && !child.progressDue.Expired())) continue;
                child.lastLabel = progress->strLabel;
                child.progressDue = Deadline(kProgressEventMs);
                event("progress", ports[child.nIndex], [&](JsonObject& o) {
                    o.Add("phase", phase)
                        .Add("text", std::string_view(progress->strLabel))
                        .Add("percent", static_cast<std::int64_t>(progress->nPercent));
                });
            } else if (const std::string_view phase = PhaseOfLine(text); !phase.empty()) {
                // Only the steps: a child's other lines (its messages, its summary, its
                // result line) are in its result object.
                child.lastStep = text;
                event("phase", ports[child.nIndex],
                      [&](JsonObject& o) { o.Add("phase", phase).Add("text", std::string_view(text)); });
            }
        }
    };

    // One pass: the pending printers, at most N children at once, until each has ended.
    auto runChildren = [&] {
        while (!pending.empty() || !running.empty()) {
            while (nInterrupts == 0 && !pending.empty() && running.size() < static_cast<std::size_t>(options.nParallel)) {
                startNext();
            }
            if (running.empty()) continue;
            std::vector<pollfd> fds;
            fds.push_back(pollfd{fdInterrupt, POLLIN, 0});
            for (const auto& child : running) {
                fds.push_back(pollfd{child->out.Get(), POLLIN, 0});
                fds.push_back(pollfd{child->err.Get(), POLLIN, 0});
            }
            DWORD dwWait = INFINITE;
            for (const auto& child : running) {
                if (child->limit.Timeout() == INFINITE) continue;
                DWORD dwLeft = child->limit.Remaining();
                if (child->nTimeoutInterrupts == 1) dwLeft = kTimeoutQuitAfterMs - std::min(kTimeoutQuitAfterMs, child->limit.Elapsed() - child->limit.Timeout());
                if (child->nTimeoutInterrupts < 2) dwWait = std::min(dwWait, dwLeft);
            }
            if (::poll(fds.data(), fds.size(), TimeoutToPoll(dwWait)) < 0 && errno != EINTR) break;
            for (const auto& child : running) {
                if (child->limit.Timeout() == INFINITE || !child->limit.Expired() || child->nTimeoutInterrupts >= 2) continue;
                DWORD dwOver = child->limit.Elapsed() - child->limit.Timeout();
                if (child->nTimeoutInterrupts == 0 || dwOver >= kTimeoutQuitAfterMs) {
                    ++child->nTimeoutInterrupts;
                    LogMessage(LOG_APP, 'I', __LINE__, 0, "Update of [%s] over its time limit of %d s: interrupt [%d]",
                               ports[child->nIndex].c_str(), options.nTimeout, child->nTimeoutInterrupts);
                    if (child->nTimeoutInterrupts == 1) {
                        view.SetPhase(child->nIndex, StrPrintf("cancelling: over %d s", options.nTimeout), FleetView::kRunning);
                    }
                    ::kill(child->pid, SIGINT);
                }
            }
            if (fdInterrupt >= 0 && (fds[0].revents & POLLIN) != 0) {
                signalfd_siginfo info;
                while (::read(fdInterrupt, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) onInterrupt();
            }
            for (std::size_t i = 0; i < running.size(); ++i) {
                Child& child = *running[i];
                if (fds[1 + 2 * i].revents != 0 && !ReadSome(child.out.Get(), &child.outText)) child.out.Reset();
                if (fds[2 + 2 * i].revents != 0) {
                    if (!ReadSome(child.err.Get(), &child.errLine)) {
                        child.err.Reset();
                        child.errLine += "\n";
                    }
                    childText(child);
                }
            }
            // A child whose streams have both ended is ending: reap it.
            for (auto it = running.begin(); it != running.end();) {
                Child& child = **it;
                if (child.out || child.err) {
                    ++it;
                    continue;
                }
                int nExitCode = 1;
                if (WaitForProcess(child.pid, INFINITE, &nExitCode) != WAIT_OBJECT_0) nExitCode = 1;
                const std::string& port = ports[child.nIndex];
                LogMessage(LOG_APP, 'I', __LINE__, 0, "%s of [%s] ended: exit status %d", bPreCheck ? "Check" : "Update",
                           port.c_str(), nExitCode);
                if (bPreCheck) {
                    // The check's own object, whatever follows it.
                    std::string checkJson = ResultOfChild(results[child.nIndex], child.outText, nExitCode);
                    event("result", port, [&](JsonObject& o) { o.AddRaw("result", checkJson); });
                }
                if (bPreCheck && (nExitCode == 0 || nExitCode == 1)) {
                    // Needs the update: it comes once the check of every printer is done. A
                    // printer the check could not identify is tried as an update too: the
                    // POS service or a print job may have held its port, and the update
                    // comes after they have given way (its own failure is then reported).
                    toUpdate.push_back(child.nIndex);
                    view.SetPhase(child.nIndex, nExitCode == 0 ? "needs an update" : "not identified: tried again",
                                  FleetView::kWaiting);
                    it = running.erase(it);
                    continue;
                }
                FleetResult& result = results[child.nIndex];
                result.strJson = ResultOfChild(result, child.outText, nExitCode);
                if (bPreCheck) result.strJson = AsUpdateResult(result.strJson, nExitCode);
                // Cancelled by the limit, not by the user: a failure of that printer.
                if (child.nTimeoutInterrupts > 0 && nExitCode == 3) {
                    nExitCode = 1;
                    result.strJson = MarkTimedOut(result.strJson, options.nTimeout);
                }
                result.nExitStatus = nExitCode;
                view.SetPhase(child.nIndex, OutcomeText(result, options.bCheck, LogFolder()), nExitCode);
                if (!bPreCheck) event("result", port, [&](JsonObject& o) { o.AddRaw("result", result.strJson); });
                it = running.erase(it);
                if (nExitCode != 0 && nExitCode != 2 && ++nFailures == options.nMaxFailures &&
                    (!pending.empty() || !toUpdate.empty())) {
                    LogMessage(LOG_APP, 'I', __LINE__, 0, "%d updates failed: no further one started", nFailures);
                    view.Message(StrPrintf("%d of the updates failed: no further one is started (--max-failures).", nFailures));
                    notStarted(StrPrintf("Not started: %d of the updates had failed (--max-failures)", nFailures),
                               "Not started: the limit of failed updates (--max-failures) was reached before this printer's turn.");
                }
            }
        }
    };
    beginStage(options.bCheck || bCheckFirst ? "check" : "update", pending.size());
    runChildren();
    if (bCheckFirst) {
        bPreCheck = false;
        LogMessage(LOG_APP, 'I', __LINE__, 0, "[[[ Fleet run: %zu printers need an update ]]]", toUpdate.size());
        if (!toUpdate.empty()) {
            // Once for all: no child may start the spooler again under another one's
            // transfer. The spooler only when a queue prints to one of these ports, as a
            // single run does; only what was running is stopped, and only that is started
            // again at the end.
            std::vector<std::string> updatePorts;
            for (std::size_t nIndex : toUpdate) updatePorts.push_back(ports[nIndex]);
            if (IsPrinterOnAnyPort(updatePorts)) SpoolerControl(FALSE, nullptr);
            PosServiceControl(FALSE);
            pending.assign(toUpdate.begin(), toUpdate.end());
            toUpdate.clear();
            beginStage("update", pending.size());
            runChildren();
        }
    }

    const ServiceLimits& limits = nInterrupts >= 2 ? kQuitLimits : kServiceLimits;
    StartServicesStoppedHere(limits);
    std::string table = FleetSummaryTable(results, LogFolder());
    table.pop_back();
    view.Message(table, false);
    int nCounts[4] = {};
    for (const FleetResult& result : results) ++nCounts[result.nExitStatus >= 0 && result.nExitStatus <= 3 ? result.nExitStatus : 1];
    view.Message(StrPrintf("%s: %s: %d %s, %d current, %d failed, %d cancelled", kProgramName,
                           Printers(results.size()).c_str(), nCounts[0], options.bCheck ? "to update" : "updated",
                           nCounts[2], nCounts[1], nCounts[3]),
                 false);
    return finish(results, FleetExitStatus(results, nInterrupts > 0));
}
