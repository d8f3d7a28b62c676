#include "ui/ProgressSteps.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>

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

namespace {

// How a person calls what a table holds, and its check after the transfer; the last
// row names any other table.
struct TableNames {
    std::string_view table;
    DWORD dwTransfer;
    DWORD dwCheck;
};
constexpr TableNames kTableNames[] = {
    {"FW", IDS_STEP_FIRMWARE, IDS_STEP_CHECK_FIRMWARE},
    {"KF", IDS_STEP_FONT_DATA, IDS_STEP_CHECK_FONT_DATA},
    {"CF", IDS_STEP_CODE_PAGE, IDS_STEP_CHECK_CODE_PAGE},
    {"ZF", IDS_STEP_CPCL_FONT, IDS_STEP_CHECK_CPCL_FONT},
    {"YF", IDS_STEP_ZPL_FONT, IDS_STEP_CHECK_ZPL_FONT},
    {"", IDS_STEP_DATA, IDS_STEP_CHECK_DATA},
};

const TableNames& NamesOfTable(std::string_view table) {
    for (const TableNames& names : kTableNames) {
        if (table == names.table) return names;
    }
    return std::end(kTableNames)[-1];
}

}  // namespace

std::string TransferKindName(std::string_view table, UiLanguage language) {
    return LoadResString(NamesOfTable(table).dwTransfer, language);
}

std::string TransferName(const TransferInfo& transfer, UiLanguage language) {
    if (transfer.strTable.empty() && transfer.strFile.empty()) return LoadResString(IDS_STEP_SENDING, language);
    std::string name = TransferKindName(transfer.strTable, language);
    return transfer.strFile.empty() ? name : name + " " + transfer.strFile;
}

unsigned SecondsUpTo(DWORD dwMs) noexcept { return std::max<unsigned>(1, (dwMs + 999) / 1000); }

std::string RestartWaitName(UiLanguage language, std::optional<DWORD> dwLeftMs) {
    if (!dwLeftMs) return LoadResString(IDS_STEP_RESTART_WAIT, language);
    return StrPrintf(LoadResString(IDS_STEP_RESTART_WAIT_LEFT, language).c_str(), SecondsUpTo(*dwLeftMs));
}

std::string_view StepPhase(std::string_view name) {
    // kelvo-cli prints the English names; a program reads them back by these.
    auto english = [](DWORD dwId) { return LoadResString(dwId, UiLanguage::English); };
    const std::string pause = english(IDS_STEP_FIRST_BLOCK_PAUSE);
    const std::size_t nSeconds = pause.find("%u");
    const std::string_view before = std::string_view(pause).substr(0, nSeconds);
    const std::string_view after = std::string_view(pause).substr(nSeconds + 2);
    if (name.size() > before.size() + after.size() && name.starts_with(before) && name.ends_with(after)) {
        return "firmware_pause";
    }
    if (name == english(IDS_STEP_RESTART_WAIT)) return "restart";
    if (name == english(IDS_STEP_SENDING)) return "data";
    for (const TableNames& names : kTableNames) {
        const bool bFirmware = names.table == "FW";
        if (name == english(names.dwCheck)) return bFirmware ? "firmware_check" : "data_check";
        // A transfer: its kind alone, or its kind and its file.
        const std::string kind = english(names.dwTransfer);
        if (name.starts_with(kind) && (name.size() == kind.size() || name[kind.size()] == ' ')) {
            return bFirmware ? "firmware" : "data";
        }
    }
    return {};
}

std::string CProgressSteps::Name(DWORD dwId) const { return LoadResString(dwId, m_language); }

void CProgressSteps::BeginTransfer(const TransferInfo& info) {
    m_transfer = info;
    m_bSending = false;
    m_bTransferEnded = false;
    m_bPauseOver = info.cbPauseWeight == 0 || info.dwPauseMs == 0;
    m_nLastWaitPercent = -1;
    m_bChecking = false;
}

std::optional<ProgressStep> CProgressSteps::OnText(std::string_view text, DWORD dwNow) {
    std::optional<ProgressText> progress = ParseProgressText(text);
    const bool bSending = progress && progress->strLabel == kSendingLabel;
    if (bSending && !m_bTextWasSending && m_source) BeginTransfer(m_source());
    m_bTextWasSending = bSending;
    if (!progress) return std::nullopt;
    if (bSending) {
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
                    StrPrintf(Name(IDS_STEP_FIRST_BLOCK_PAUSE).c_str(), (m_transfer.dwPauseMs + 500) / 1000), nPercent,
                    0, 0, StepKind::FirstBlockPause};
            }
        }
        unsigned long long cbDone = cbCounted > m_transfer.cbPauseWeight ? cbCounted - m_transfer.cbPauseWeight : 0;
        cbDone = std::min(cbDone, m_transfer.cbTotal);
        int nPercent = m_transfer.cbTotal == 0 ? progress->nPercent : static_cast<int>(cbDone * 100 / m_transfer.cbTotal);
        if (progress->nPercent == 100) {
            // What follows has begun: the transfer's end said again does not go back to it.
            if (m_bTransferEnded) return AfterTransfer();
            m_bTransferEnded = true;
            cbDone = m_transfer.cbTotal;
            nPercent = 100;
        }
        return ProgressStep{TransferName(m_transfer, m_language), nPercent, cbDone, m_transfer.cbTotal};
    }
    m_bSending = false;
    // The restart wait counts 0 to 50 %; the check of the new firmware starts again at 50
    // (a second 50 after the wait reached it) and goes on to 100.
    if (progress->nPercent > 50 || (progress->nPercent == 50 && m_nLastWaitPercent == 50)) m_bChecking = true;
    m_nLastWaitPercent = progress->nPercent;
    if (m_bChecking) {
        return ProgressStep{Name(IDS_STEP_CHECK_FIRMWARE), std::clamp((progress->nPercent - 50) * 2, 0, 100), 0, 0,
                            StepKind::FirmwareCheck, false};
    }
    return ProgressStep{RestartWaitName(m_language), std::min(progress->nPercent * 2, 100), 0, 0,
                        StepKind::RestartWait, false};
}

ProgressStep CProgressSteps::AfterTransfer() const {
    if (m_transfer.strTable == "FW") return ProgressStep{RestartWaitName(m_language), -1, 0, 0, StepKind::RestartWait, false};
    return ProgressStep{Name(NamesOfTable(m_transfer.strTable).dwCheck), -1, 0, 0, StepKind::DataCheck, false};
}
