#pragma once
// What the update engine may do to the main dialog. The worker threads reach the dialog
// only through this interface; the desktop dialog, the terminal front end and the tests
// implement it. Every operation may be called from a worker thread, must not block on
// the dialog's thread (so a worker never deadlocks against a dialog that waits for it),
// and keeps the caller's last error.
#include <string>

#include "platform/Types.h"

// Controls the engine writes to.
inline constexpr int IDC_STATUS_TEXT = 1015;    // status text of the busy layout
inline constexpr int IDC_PROGRESS_TEXT = 1017;  // progress text of the busy layout

// The retry request a first run posts when the user chose Retry.
inline constexpr DWORD WM_APP_RETRY = 0x8001;

class IDialogHost {
public:
    virtual ~IDialogHost() = default;

    // Sets the window's caption.
    virtual void SetCaption(const std::string& caption) = 0;
    // Sets the text of one control (IDC_STATUS_TEXT, IDC_PROGRESS_TEXT). Returns at once;
    // the text shows when the dialog's thread gets to it.
    virtual void SetControlText(int nControlId, const std::string& text) = 0;
    // Switches between the choice layout (false) and the busy layout (true).
    virtual void SetBusyLayout(bool bBusy) = 0;
    // Enables or disables the whole dialog (while the update files load).
    virtual void EnableDialog(bool bEnable) = 0;
    // After a run: busy layout off, the controls of the model's kinds enabled, window
    // brought to the top and repainted.
    virtual void RestoreAfterRun() = 0;
    // Posted requests; each returns at once and is handled later on the dialog's thread.
    virtual void PostSelect() = 0;  // as if Select (WM_COMMAND IDOK) had been pressed
    virtual void PostClose() = 0;   // WM_CLOSE: end the dialog
    virtual void PostRetry() = 0;   // WM_APP_RETRY: start the retry run
};
