#include "ui/Util.h"

#include <atomic>
#include <cstring>

#include "log/Log.h"
#include "platform/LastError.h"

namespace {

std::atomic<IMessageBox*> g_pMessageBox{nullptr};
std::atomic<SilentModeQuery> g_pfnSilent{nullptr};
std::atomic<SilentEcho> g_pfnEcho{nullptr};

// A cut format may end inside a conversion ("%", "%0", "%l"); printf would read that as
// garbage, so the incomplete conversion is dropped.
void DropIncompleteConversion(std::string& format) {
    std::size_t nPercent = std::string::npos;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        std::size_t j = i + 1;
        while (j < format.size() && std::strchr("-+ #0123456789.*hlqLjzt", format[j]) != nullptr) ++j;
        if (j >= format.size()) {
            nPercent = i;
            break;
        }
        i = j;  // past the conversion letter ("%%" included)
    }
    if (nPercent != std::string::npos) format.erase(nPercent);
}

std::string FormatMessageText(const char* pszFormat, va_list args) {
    std::string text;
    if (!FormatBoundedV(text, MESSAGE_MAX_CHARS, pszFormat, args) && text.empty()) {
        // Not a usable format: show it as it stands rather than nothing.
        text = std::string(Utf8Prefix(pszFormat != nullptr ? pszFormat : "", MESSAGE_MAX_CHARS));
    }
    // File names and model names are bytes from outside; a box shows valid text only.
    if (!Utf8IsValid(text)) text = std::string(Utf8Prefix(Utf8Sanitize(text), MESSAGE_MAX_CHARS));
    return text;
}

}  // namespace

void SetMessageBox(IMessageBox* pBox) noexcept { g_pMessageBox.store(pBox); }
IMessageBox* GetMessageBox() noexcept { return g_pMessageBox.load(); }

void SetSilentModeQuery(SilentModeQuery pfnQuery) noexcept { g_pfnSilent.store(pfnQuery); }
void SetSilentEcho(SilentEcho pfnEcho) noexcept { g_pfnEcho.store(pfnEcho); }

bool IsSilentMode() noexcept {
    SilentModeQuery pfn = g_pfnSilent.load();
    return pfn != nullptr && pfn();
}

int ShowMessageV(DWORD dwStyle, int nSilentAnswer, const char* pszFormat, va_list args) {
    LastErrorGuard keep;
    std::string text = FormatMessageText(pszFormat, args);
    if (IsSilentMode()) {
        LogMessage(LOG_ACTION, 'A', __LINE__, GetLastError(), "Showing message is skipped. [%s]", text.c_str());
        if (SilentEcho pfnEcho = g_pfnEcho.load()) pfnEcho(text);
        return nSilentAnswer;
    }
    LogMessage(LOG_ACTION, 'A', __LINE__, GetLastError(), "Showing message. [%s]", text.c_str());
    // Whoever reads the log while the box waits sees everything up to it.
    LogFlush();
    IMessageBox* pBox = GetMessageBox();
    if (pBox == nullptr) return 0;
    return pBox->MessageBox(text, KELVO_CAPTION, dwStyle | MB_TOPMOST);
}

int ShowMessage(DWORD dwStyle, int nSilentAnswer, const char* pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    int nAnswer = ShowMessageV(dwStyle, nSilentAnswer, pszFormat, args);
    va_end(args);
    return nAnswer;
}

std::string BuildErrorFormat(const char* pszText, DWORD dwLocation, DWORD dwError) {
    // The text is a format of its own: it is joined, not formatted, so its placeholders
    // survive for the second pass.
    std::string format = pszText != nullptr ? pszText : "";
    format += StrPrintf("\n\nErrorCode = [ %06X, %08X ]", dwLocation, dwError);
    if (Utf8Length(format) > MESSAGE_MAX_CHARS) {
        format = std::string(Utf8Prefix(format, MESSAGE_MAX_CHARS));
        DropIncompleteConversion(format);
    }
    return format;
}

int ShowError(DWORD dwLocation, DWORD dwError, const char* pszText, ...) {
    std::string format = BuildErrorFormat(pszText, dwLocation, dwError);
    va_list args;
    va_start(args, pszText);
    int nAnswer = ShowMessageV(MB_ICONERROR, IDOK, format.c_str(), args);
    va_end(args);
    return nAnswer;
}

int ShowErrorEx(DWORD dwStyle, DWORD dwLocation, DWORD dwError, int nSilentAnswer, const char* pszText, ...) {
    std::string format = BuildErrorFormat(pszText, dwLocation, dwError);
    va_list args;
    va_start(args, pszText);
    int nAnswer = ShowMessageV(dwStyle | MB_ICONERROR, nSilentAnswer, format.c_str(), args);
    va_end(args);
    return nAnswer;
}
