#pragma once
// The update's steps as a person reads them, from the engine's progress texts. Shared by
// the front ends; no toolkit.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Types.h"
#include "ui/StringTable.h"

// A progress text the engine sets, "Sending... [ 42%]": its label and percent.
struct ProgressText {
    std::string strLabel;
    int nPercent = 0;
};
std::optional<ProgressText> ParseProgressText(std::string_view text);
// The label of a transfer's progress text.
inline constexpr std::string_view kSendingLabel = "Sending...";

// A transfer as the front end knows it when the engine begins to send it.
struct TransferInfo {
    std::string strTable;                // the file's update table: "FW", "KF", "CF", "ZF", "YF"; empty: unknown
    std::string strFile;                 // "FW2007SIM.bin"; empty: unknown
    unsigned long long cbTotal = 0;      // bytes sent (download header included)
    unsigned long long cbPauseWeight = 0;  // the engine counts the first-block pause as this many bytes; 0: no pause
    DWORD dwPauseMs = 0;                 // the pause after the first block
};

enum class StepKind {
    Transfer,         // a file's bytes going out
    FirstBlockPause,  // the printer takes the rest of the firmware only after a pause
    RestartWait,      // the printer restarts with its new firmware
    FirmwareCheck,    // the new firmware's ROM ID and version read back
    DataCheck,        // the printer stores a font or data kind and its checksum is compared
};

// One step of the update as a person reads it.
struct ProgressStep {
    std::string strName;
    int nPercent = 0;                // of the step; -1: none yet (a step the engine shows no text for)
    unsigned long long cbDone = 0;   // a transfer's bytes sent
    unsigned long long cbTotal = 0;  // 0: a wait, which has no bytes
    StepKind kind = StepKind::Transfer;
    // False for a wait on the printer: the engine's percentage there counts time towards
    // a limit, not work done, so a bar would stand still at its end; a front end shows
    // such a step as busy.
    bool bMeasured = true;
    std::optional<DWORD> dwLeftMs = std::nullopt;  // a wait's longest time left, when the front end knows it

    // The transfer's last byte is out: AfterTransfer() is the step that runs now.
    bool EndsTransfer() const noexcept { return kind == StepKind::Transfer && nPercent == 100; }
};

// How a person calls the transfer of an update table ("FW", "KF", ...): "Firmware",
// "Font data", ...; "Data" for a table that is never sent.
std::string TransferKindName(std::string_view table, UiLanguage language = UiLanguage::English);
// "Firmware FW2007SIM.bin", "Font data KF20SIM.bin"; "Sending" when nothing is known.
std::string TransferName(const TransferInfo& transfer, UiLanguage language);
// The restart wait, with the time it may still take when that is known ("... (up to 14 s)").
std::string RestartWaitName(UiLanguage language, std::optional<DWORD> dwLeftMs = std::nullopt);
// Whole seconds, rounded up, never below 1: how "up to N s" counts a time left.
unsigned SecondsUpTo(DWORD dwMs) noexcept;

// The machine-readable name of a step, by its English name as kelvo-cli prints it:
// "firmware", "firmware_pause", "restart", "firmware_check", "data", "data_check"; empty
// for a line that names no step.
std::string_view StepPhase(std::string_view stepName);

// Turns the engine's progress texts ("Sending... [ 42%]", "Waiting... [ 50%]") into
// named steps: the transfer begun last (its pause after the first block apart), the
// restart wait after a firmware transfer, and the check of the new firmware (the wait's
// second half, which the engine counts from 50 %). Not thread-safe: the front end
// serialises it.
class CProgressSteps {
public:
    // Names are in language.
    explicit CProgressSteps(UiLanguage language = UiLanguage::English) noexcept : m_language(language) {}

    // The next "Sending..." text belongs to this transfer.
    void BeginTransfer(const TransferInfo& info);
    // With a source, a "Sending..." text after any other text begins the transfer the
    // source names (called on the thread that calls OnText).
    void SetTransferSource(std::function<TransferInfo()> source) { m_source = std::move(source); }
    // The step a progress text shows at dwNow (ms, any monotonic clock); nothing for an
    // empty text or one that is no progress. Once a transfer's last byte is out, its end
    // said again is AfterTransfer(): the step does not go back to the transfer.
    std::optional<ProgressStep> OnText(std::string_view text, DWORD dwNow);
    // What follows once the transfer begun last has sent its last byte (the step that
    // EndsTransfer), which the engine shows by no text of its own: the restart wait after
    // firmware, the check of what was sent after a font or data kind. It has no
    // percentage yet (-1) and is unmeasured.
    ProgressStep AfterTransfer() const;

private:
    std::string Name(DWORD dwId) const;

    UiLanguage m_language;
    std::function<TransferInfo()> m_source;
    TransferInfo m_transfer;
    bool m_bTextWasSending = false;  // the last text, progress or not, was "Sending..."
    bool m_bSending = false;
    bool m_bTransferEnded = false;  // its last byte was shown
    bool m_bPauseOver = true;
    DWORD m_dwPauseStart = 0;
    int m_nLastWaitPercent = -1;
    bool m_bChecking = false;
};
