#include "ui/ProgressSteps.h"

#include <algorithm>
#include <cstdlib>

#include "platform/Text.h"

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

void CProgressSteps::BeginTransfer(const TransferInfo& info) {
    m_transfer = info;
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
            cbDone = m_transfer.cbTotal;
            nPercent = 100;
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
        return ProgressStep{"Checking the new firmware", std::clamp((progress->nPercent - 50) * 2, 0, 100), 0, 0};
    }
    return ProgressStep{"Waiting for the printer to restart", std::min(progress->nPercent * 2, 100), 0, 0};
}
