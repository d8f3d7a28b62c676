#pragma once
// How the engine's status and progress texts show in a terminal: a bar redrawn in place
// when the output is a terminal, plain lines otherwise (logs, pipes, CI).
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Types.h"
#include "ui/ProgressSteps.h"

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
