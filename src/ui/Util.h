#pragma once
// Messages to the user. Every box goes through ShowMessage: it is logged, and in silent
// mode it is only logged and the caller's silent answer comes back at once.
#include <cstdarg>
#include <string>

#include "platform/Text.h"
#include "platform/Types.h"
#include "ui/MsgBox.h"

inline constexpr const char* KELVO_CAPTION = "ZAQ Kelvo";
// Longest text of a box, in characters; longer texts are cut.
inline constexpr std::size_t MESSAGE_MAX_CHARS = 1023;

// The box the messages go to (the front end's); null shows nothing and answers 0.
// The box must outlive its registration. Thread-safe.
void SetMessageBox(IMessageBox* pBox) noexcept;
IMessageBox* GetMessageBox() noexcept;

// Tells the message layer whether the program runs silently ("/s"). Null: never silent.
using SilentModeQuery = bool (*)() noexcept;
void SetSilentModeQuery(SilentModeQuery pfnQuery) noexcept;
bool IsSilentMode() noexcept;

// Where a silently skipped message goes besides the log (the desktop program's stderr,
// so that a script running it silently can read why it failed). Null: only the log.
using SilentEcho = void (*)(const std::string& text) noexcept;
void SetSilentEcho(SilentEcho pfnEcho) noexcept;

// Formats the text (cut to MESSAGE_MAX_CHARS characters), logs it and shows it with
// MB_TOPMOST added; returns the answer, or nSilentAnswer in silent mode (where the text
// also goes to the silent echo). Blocks until answered. Keeps the caller's last error.
int ShowMessage(DWORD dwStyle, int nSilentAnswer, const char* pszFormat, ...) KELVO_PRINTF(3, 4);
int ShowMessageV(DWORD dwStyle, int nSilentAnswer, const char* pszFormat, va_list args);

// An error box: the text, an empty line and "ErrorCode = [ %06X, %08X ]" with the
// location code and the error code; the text's placeholders take the arguments.
// MB_ICONERROR, silent answer IDOK.
int ShowError(DWORD dwLocation, DWORD dwError, const char* pszText, ...) KELVO_PRINTF(3, 4);
// As ShowError with the caller's style (MB_ICONERROR added) and silent answer.
int ShowErrorEx(DWORD dwStyle, DWORD dwLocation, DWORD dwError, int nSilentAnswer, const char* pszText, ...)
    KELVO_PRINTF(5, 6);

// The format ShowError hands to ShowMessage: text plus the error-code line, cut to
// MESSAGE_MAX_CHARS characters without leaving half a conversion at the end.
std::string BuildErrorFormat(const char* pszText, DWORD dwLocation, DWORD dwError);
