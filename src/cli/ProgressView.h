#pragma once
// How the engine's status and progress texts show in a terminal: a bar redrawn in place
// when the output is a terminal, plain lines otherwise (logs, pipes, CI).
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Types.h"

// A progress text the engine sets, "Sending... [ 42%]": its label and percent.
struct ProgressText {
    std::string strLabel;
    int nPercent = 0;
};
std::optional<ProgressText> ParseProgressText(std::string_view text);

// How a person calls the transfer of an update table ("FW", "KF", ...): "Firmware",
// "Font data", ...; "Data" for a table that is never sent.
std::string TransferKindName(std::string_view table);

// A transfer as the session knows it when the engine begins to send it.
struct TransferInfo {
    std::string strName;                 // "Firmware FW2007SIM.bin", "Font data KF20SIM.bin"
    unsigned long long cbTotal = 0;      // bytes sent (download header included)
    unsigned long long cbPauseWeight = 0;  // the engine counts the first-block pause as this many bytes; 0: no pause
    DWORD dwPauseMs = 0;                 // the pause after the first block
    // The step once every byte is sent, while the printer stores and checks what it got
    // ("Checking the font data"); empty: the engine's own texts follow (the restart wait).
    std::string strCheckName;
};

// One step of the update as a person reads it.
struct ProgressStep {
    std::string strName;
    int nPercent = 0;                // of the step; -1: a step with no measure of its own
    unsigned long long cbDone = 0;   // a transfer's bytes sent
    unsigned long long cbTotal = 0;  // 0: a wait, which has no bytes
    DWORD dwLeftMs = 0;              // a wait's longest time left; 0: not known
};

// The machine-readable name of a step, by the name a person reads: "firmware",
// "firmware_pause", "restart", "firmware_check", "data", "data_check"; empty for a line
// that names no step.
std::string_view StepPhase(std::string_view stepName);

// Turns the engine's progress texts ("Sending... [ 42%]", "Waiting... [ 50%]") into
// named steps: the transfer begun last (its pause after the first block apart), the
// restart wait after a firmware transfer, and the check of the new firmware (the wait's
// second half, which the engine counts from 50 %). Not thread-safe: the session
// serialises it.
class CProgressSteps {
public:
    // The next "Sending..." text belongs to this transfer.
    void BeginTransfer(const TransferInfo& info);
    // The step a progress text shows at dwNow (ms, any monotonic clock); nothing for an
    // empty text or one that is no progress.
    std::optional<ProgressStep> OnText(std::string_view text, DWORD dwNow);
    // Once after a transfer's last byte: the check that follows it (strCheckName), which
    // the engine shows no text for.
    std::optional<ProgressStep> TakeFollowing();

private:
    TransferInfo m_transfer;
    bool m_bSending = false;
    bool m_bPauseOver = true;
    DWORD m_dwPauseStart = 0;
    int m_nLastWaitPercent = -1;
    bool m_bChecking = false;
    bool m_bFollowingDue = false;
    bool m_bFollowingShown = false;
};

class CProgressView {
public:
    // fd receives everything; bTerminal chooses the bar; nColumns is the terminal's
    // width (0: ask the terminal, 80 when it does not say).
    CProgressView(int fd, bool bTerminal, int nColumns = 0) noexcept;

    // The caption; shown as a line when it changes.
    void SetCaption(const std::string& caption);
    // The status text (one or more lines); shown when it changes.
    void SetStatus(const std::string& text);
    // The progress text: a bar (terminal) or a line at each tenth and at 100 % (plain);
    // an empty text ends the current bar. A text that is no progress is shown as a line.
    void SetProgress(const std::string& text);
    // Ends a bar that is being drawn, so that other output starts on a fresh line.
    void BreakLine();
    // Writes lines of its own (messages) without tearing a bar apart.
    void WriteLines(const std::string& text);
    // A named step at dwNow (ms, the clock the rate is measured by): its name on a line of
    // its own when it begins, then a bar (terminal) or a line at each tenth (plain) with,
    // for a transfer, the bytes sent of the total, the rate and the time left; for a wait
    // its longest time left. A step without a measure (nPercent -1) is its name alone.
    void ShowStep(const ProgressStep& step, DWORD dwNow);

    // Every call is serialised; callable from any thread; never waits for another thread.
private:
    void DrawBar(const ProgressText& progress);
    std::string StepDetail(const ProgressStep& step, DWORD dwNow) const;
    void BreakLineLocked();
    void Write(const std::string& text);
    int Columns() const;

    std::mutex m_mutex;
    int m_fd;
    bool m_bTerminal;
    int m_nColumns;
    bool m_bBarOpen = false;        // a bar line without its newline yet
    std::string m_caption;
    std::string m_status;
    std::string m_lastLabel;        // label of the bar or of the last plain progress line
    int m_nLastPercent = -1;        // percent last drawn or printed for m_lastLabel
    std::string m_stepName;         // the step shown now
    DWORD m_dwStepStart = 0;        // when its first bytes were counted
    unsigned long long m_cbStepStart = 0;
};

// "120,024": a count with thousands separated, for people.
std::string GroupedCount(unsigned long long n);
