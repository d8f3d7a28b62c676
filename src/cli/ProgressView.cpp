#include "cli/ProgressView.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

#include "platform/Text.h"

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
        m_stepName.clear();
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

std::string GroupedCount(unsigned long long n) {
    std::string digits = std::to_string(n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

std::string CProgressView::StepDetail(const ProgressStep& step, DWORD dwNow) const {
    std::string detail = std::to_string(step.nPercent) + "%";
    if (step.cbTotal == 0) {
        if (step.dwLeftMs && step.nPercent < 100) {
            detail += StrPrintf(", at most %u s left", SecondsUpTo(*step.dwLeftMs));
        }
        return detail;
    }
    detail += "  " + GroupedCount(step.cbDone) + " of " + GroupedCount(step.cbTotal) + " bytes sent";
    DWORD dwElapsed = dwNow - m_dwStepStart;
    unsigned long long cbMoved = step.cbDone > m_cbStepStart ? step.cbDone - m_cbStepStart : 0;
    // A rate needs some time and some bytes behind it.
    if (dwElapsed >= 500 && cbMoved > 0) {
        double dRate = static_cast<double>(cbMoved) * 1000.0 / dwElapsed;
        detail += dRate >= 10240 ? StrPrintf(", %.0f KiB/s", dRate / 1024) : StrPrintf(", %.1f KiB/s", dRate / 1024);
        if (step.cbDone < step.cbTotal) {
            double dLeft = static_cast<double>(step.cbTotal - step.cbDone) / dRate;
            detail += StrPrintf(", %.0f s left", std::max(1.0, std::ceil(dLeft)));
        }
    }
    return detail;
}

void CProgressView::ShowStep(const ProgressStep& step, DWORD dwNow) {
    std::lock_guard lock(m_mutex);
    bool bNew = step.strName != m_stepName || step.nPercent < m_nLastPercent;
    if (bNew) {
        BreakLineLocked();
        m_stepName = step.strName;
        m_dwStepStart = dwNow;
        m_cbStepStart = step.cbDone;
        m_nLastPercent = -1;
        m_lastLabel.clear();
        Write(step.strName + "\n");
    }
    if (step.nPercent < 0) return;
    if (m_bTerminal) {
        if (!bNew && step.nPercent == m_nLastPercent) return;
        int nWidth = std::clamp(Columns() - 60, kBarMinWidth, kBarMaxWidth);
        int nFilled = step.nPercent * nWidth / 100;
        Write("\r\033[K  [" + std::string(static_cast<std::size_t>(nFilled), '#') +
              std::string(static_cast<std::size_t>(nWidth - nFilled), '.') + "] " + StepDetail(step, dwNow));
        m_bBarOpen = true;
    } else {
        // The first percentage after the name alone starts the step's lines.
        bool bShow = bNew || m_nLastPercent < 0 || step.nPercent / 10 > m_nLastPercent / 10 ||
                     (step.nPercent == 100 && m_nLastPercent != 100);
        if (!bShow) return;
        Write("  " + StepDetail(step, dwNow) + "\n");
    }
    m_nLastPercent = step.nPercent;
}
