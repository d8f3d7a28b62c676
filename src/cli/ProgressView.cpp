#include "cli/ProgressView.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

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

namespace {

struct TransferKind {
    std::string_view table;
    const char* pszName;
};
constexpr TransferKind kTransferKinds[] = {
    {"FW", "Firmware"}, {"KF", "Font data"}, {"CF", "Code page data"}, {"ZF", "CPCL font data"}, {"YF", "ZPL font data"},
};

// The steps' names as the view prints them, and what a program calls them. A transfer's
// name is its kind and its file; the check after a data transfer is "Checking the " and
// its kind.
constexpr std::string_view kPausePrefix = "The printer accepts the firmware after";
constexpr std::string_view kRestartStep = "Waiting for the printer to restart";
constexpr std::string_view kFirmwareCheckStep = "Checking the new firmware";
constexpr std::string_view kCheckPrefix = "Checking the ";

}  // namespace

std::string TransferKindName(std::string_view table) {
    for (const TransferKind& kind : kTransferKinds) {
        if (kind.table == table) return kind.pszName;
    }
    return "Data";
}

std::string_view StepPhase(std::string_view name) {
    if (name.starts_with(kPausePrefix)) return "firmware_pause";
    if (name == kRestartStep) return "restart";
    if (name == kFirmwareCheckStep) return "firmware_check";
    if (name.starts_with(kCheckPrefix)) return "data_check";
    for (const TransferKind& kind : kTransferKinds) {
        std::string_view kindName = kind.pszName;
        if (name == kindName || (name.starts_with(kindName) && name.substr(kindName.size()).starts_with(' '))) {
            return kind.table == "FW" ? "firmware" : "data";
        }
    }
    if (name == "Data" || name.starts_with("Data ") || name == "Sending") return "data";
    return {};
}

void CProgressSteps::BeginTransfer(const TransferInfo& info) {
    m_transfer = info;
    m_bFollowingDue = false;
    m_bFollowingShown = false;
    m_bSending = false;
    m_bPauseOver = info.cbPauseWeight == 0 || info.dwPauseMs == 0;
    m_nLastWaitPercent = -1;
    m_bChecking = false;
}

std::optional<ProgressStep> CProgressSteps::OnText(std::string_view text, DWORD dwNow) {
    std::optional<ProgressText> progress = ParseProgressText(text);
    if (!progress) return std::nullopt;
    if (progress->strLabel == "Sending...") {
        if (!m_bSending) {
            m_bSending = true;
            m_dwPauseStart = dwNow;
        }
        m_nLastWaitPercent = -1;
        m_bChecking = false;
        // The engine counts the pause as cbPauseWeight bytes ahead of the file's.
        unsigned long long cbCounted =
            static_cast<unsigned long long>(progress->nPercent) * (m_transfer.cbTotal + m_transfer.cbPauseWeight) / 100;
        if (!m_bPauseOver) {
            // Past the pause's weight by more than a percent step, or its time is up.
            bool bPastWeight = cbCounted > m_transfer.cbPauseWeight + (m_transfer.cbTotal + m_transfer.cbPauseWeight) / 100;
            m_bPauseOver = bPastWeight || dwNow - m_dwPauseStart >= m_transfer.dwPauseMs;
            if (!m_bPauseOver) {
                int nPercent = m_transfer.cbPauseWeight == 0
                                   ? 0
                                   : static_cast<int>(std::min<unsigned long long>(100, cbCounted * 100 / m_transfer.cbPauseWeight));
                return ProgressStep{
                    StrPrintf("The printer accepts the firmware after a %u s pause", (m_transfer.dwPauseMs + 500) / 1000),
                    nPercent, 0, 0};
            }
        }
        unsigned long long cbDone = cbCounted > m_transfer.cbPauseWeight ? cbCounted - m_transfer.cbPauseWeight : 0;
        cbDone = std::min(cbDone, m_transfer.cbTotal);
        int nPercent = m_transfer.cbTotal == 0 ? progress->nPercent : static_cast<int>(cbDone * 100 / m_transfer.cbTotal);
        if (progress->nPercent == 100) {
            // The check has begun: the transfer's end said again does not go back to it.
            if (m_bFollowingShown) return ProgressStep{m_transfer.strCheckName, -1, 0, 0};
            cbDone = m_transfer.cbTotal;
            nPercent = 100;
            m_bFollowingDue = !m_transfer.strCheckName.empty();
        }
        return ProgressStep{m_transfer.strName.empty() ? std::string("Sending") : m_transfer.strName, nPercent, cbDone,
                            m_transfer.cbTotal};
    }
    m_bSending = false;
    // The restart wait counts 0 to 50 %; the check of the new firmware starts again at 50
    // (a second 50 after the wait reached it) and goes on to 100.
    if (progress->nPercent > 50 || (progress->nPercent == 50 && m_nLastWaitPercent == 50)) m_bChecking = true;
    m_nLastWaitPercent = progress->nPercent;
    if (m_bChecking) {
        return ProgressStep{std::string(kFirmwareCheckStep), std::clamp((progress->nPercent - 50) * 2, 0, 100), 0, 0};
    }
    return ProgressStep{std::string(kRestartStep), std::min(progress->nPercent * 2, 100), 0, 0};
}

std::optional<ProgressStep> CProgressSteps::TakeFollowing() {
    if (!m_bFollowingDue) return std::nullopt;
    m_bFollowingDue = false;
    m_bFollowingShown = true;
    return ProgressStep{m_transfer.strCheckName, -1, 0, 0};
}

std::string CProgressView::StepDetail(const ProgressStep& step, DWORD dwNow) const {
    std::string detail = std::to_string(step.nPercent) + "%";
    if (step.cbTotal == 0) {
        if (step.dwLeftMs > 0 && step.nPercent < 100) {
            detail += StrPrintf(", at most %u s left", static_cast<unsigned>((step.dwLeftMs + 999) / 1000));
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
        bool bShow = bNew || step.nPercent / 10 > m_nLastPercent / 10 || (step.nPercent == 100 && m_nLastPercent != 100);
        if (!bShow) return;
        Write("  " + StepDetail(step, dwNow) + "\n");
    }
    m_nLastPercent = step.nPercent;
}
