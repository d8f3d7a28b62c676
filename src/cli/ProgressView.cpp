#include "cli/ProgressView.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace {

constexpr int kBarMaxWidth = 40;
constexpr int kBarMinWidth = 10;

void WriteAll(int fd, std::string_view text) {
    std::size_t nDone = 0;
    while (nDone < text.size()) {
        ssize_t n = ::write(fd, text.data() + nDone, text.size() - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        nDone += static_cast<std::size_t>(n);
    }
}

std::string WithNewline(std::string text) {
    if (text.empty() || text.back() != '\n') text += '\n';
    return text;
}

}  // namespace

std::optional<ProgressText> ParseProgressText(std::string_view text) {
    // "<label> [<blanks><digits>%]"
    if (!text.ends_with("%]")) return std::nullopt;
    std::size_t nOpen = text.rfind('[');
    if (nOpen == std::string_view::npos) return std::nullopt;
    std::string_view number = text.substr(nOpen + 1, text.size() - nOpen - 3);
    number.remove_prefix(std::min(number.find_first_not_of(' '), number.size()));
    if (number.empty() || number.size() > 3 || number.find_first_not_of("0123456789") != std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view label = text.substr(0, nOpen);
    while (!label.empty() && label.back() == ' ') label.remove_suffix(1);
    return ProgressText{std::string(label), std::min(std::atoi(std::string(number).c_str()), 100)};
}

CProgressView::CProgressView(int fd, bool bTerminal, int nColumns) noexcept
    : m_fd(fd), m_bTerminal(bTerminal), m_nColumns(nColumns) {}

int CProgressView::Columns() const {
    if (m_nColumns > 0) return m_nColumns;
    winsize ws{};
    if (::ioctl(m_fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

void CProgressView::Write(const std::string& text) { WriteAll(m_fd, text); }

void CProgressView::BreakLineLocked() {
    if (!m_bBarOpen) return;
    Write("\n");
    m_bBarOpen = false;
}

void CProgressView::BreakLine() {
    std::lock_guard lock(m_mutex);
    BreakLineLocked();
}

void CProgressView::WriteLines(const std::string& text) {
    std::lock_guard lock(m_mutex);
    BreakLineLocked();
    Write(WithNewline(text));
}

void CProgressView::SetCaption(const std::string& caption) {
    std::lock_guard lock(m_mutex);
    if (caption == m_caption) return;
    m_caption = caption;
    BreakLineLocked();
    Write(WithNewline(caption));
}

void CProgressView::SetStatus(const std::string& text) {
    std::lock_guard lock(m_mutex);
    if (text == m_status) return;
    m_status = text;
    BreakLineLocked();
    if (!text.empty()) Write(WithNewline(text));
}

void CProgressView::DrawBar(const ProgressText& progress) {
    // "\r<label> [#####.....] 42%" redrawn over itself; the line is cleared first so a
    // shorter label leaves nothing behind.
    int nWidth = Columns() - static_cast<int>(progress.strLabel.size()) - 9;
    nWidth = std::clamp(nWidth, kBarMinWidth, kBarMaxWidth);
    int nFilled = progress.nPercent * nWidth / 100;
    std::string line = "\r\033[K" + progress.strLabel + " [" + std::string(static_cast<std::size_t>(nFilled), '#') +
                       std::string(static_cast<std::size_t>(nWidth - nFilled), '.') + "] " +
                       std::to_string(progress.nPercent) + "%";
    Write(line);
    m_bBarOpen = true;
}

void CProgressView::SetProgress(const std::string& text) {
    std::lock_guard lock(m_mutex);
    if (text.empty()) {
        BreakLineLocked();
        m_lastLabel.clear();
        m_nLastPercent = -1;
        return;
    }
    std::optional<ProgressText> progress = ParseProgressText(text);
    if (!progress) {
        BreakLineLocked();
        Write(WithNewline(text));
        return;
    }
    // A new label, or a count that starts again, begins a fresh bar.
    bool bNewLabel = progress->strLabel != m_lastLabel || progress->nPercent < m_nLastPercent;
    if (m_bTerminal) {
        if (bNewLabel) BreakLineLocked();
        if (bNewLabel || progress->nPercent != m_nLastPercent) DrawBar(*progress);
    } else {
        // A line at the start, at each further tenth, and at the end keeps a log short.
        bool bShow = bNewLabel || progress->nPercent / 10 > m_nLastPercent / 10 ||
                     (progress->nPercent == 100 && m_nLastPercent != 100);
        if (!bShow) return;
        Write(WithNewline(text));
    }
    m_lastLabel = progress->strLabel;
    m_nLastPercent = progress->nPercent;
}
