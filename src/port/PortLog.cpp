#include "port/PortLog.h"

#include <cstdarg>

#include "platform/LastError.h"

namespace {

char LevelLetter(DWORD dwCategory) noexcept {
    switch (dwCategory) {
        case LOG_ACTION: return 'A';
        case LOG_ERROR: return 'E';
        case LOG_WARNING: return 'W';
        case LOG_DEBUG: return 'D';
        default: return 'I';
    }
}

}  // namespace

void PortLogKeep(DWORD dwCategory, int nLine, const char* pszFormat, ...) noexcept {
    LastErrorGuard keep;
    if (!LogIsEnabled(dwCategory)) return;
    try {
        va_list args;
        va_start(args, pszFormat);
        std::string text = StrPrintfV(pszFormat, args);
        va_end(args);
        LogMessage(dwCategory, LevelLetter(dwCategory), nLine, GetLastError(), "%s", text.c_str());
    } catch (...) {
        // Logging never fails its caller.
    }
}
