#pragma once
// How the engine's status and progress texts show in a terminal: a bar redrawn in place
// when the output is a terminal, plain lines otherwise (logs, pipes, CI).
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// A progress text the engine sets, "Sending... [ 42%]": its label and percent.
struct ProgressText {
    std::string strLabel;
    int nPercent = 0;
};
std::optional<ProgressText> ParseProgressText(std::string_view text);

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

    // Every call is serialised; callable from any thread; never waits for another thread.
private:
    void DrawBar(const ProgressText& progress);
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
};
