#pragma once
// The update's steps as a person reads them, from the engine's progress texts. Shared by
// the front ends; no toolkit.
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

// A transfer as the session knows it when the engine begins to send it.
struct TransferInfo {
    std::string strName;                 // "Firmware FW2007SIM.bin", "Font data KF20SIM.bin"
    unsigned long long cbTotal = 0;      // bytes sent (download header included)
    unsigned long long cbPauseWeight = 0;  // the engine counts the first-block pause as this many bytes; 0: no pause
    DWORD dwPauseMs = 0;                 // the pause after the first block
};

// One step of the update as a person reads it.
struct ProgressStep {
    std::string strName;
    int nPercent = 0;                // of the step
    unsigned long long cbDone = 0;   // a transfer's bytes sent
    unsigned long long cbTotal = 0;  // 0: a wait, which has no bytes
};

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

private:
    TransferInfo m_transfer;
    bool m_bSending = false;
    bool m_bPauseOver = true;
    DWORD m_dwPauseStart = 0;
    int m_nLastWaitPercent = -1;
    bool m_bChecking = false;
};
