#include "log/Log.h"

#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "log/LogFile.h"
#include "log/LogFormat.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/WinError.h"

namespace {

constexpr std::size_t kMaxFixedNameChars = 63;

// The configuration words are read without a lock; the paths are guarded.
std::atomic<DWORD> g_dwMask{0};
std::atomic<DWORD> g_dwDumpLimit{0};
std::atomic<DWORD> g_dwRetention{0};
std::atomic<bool> g_bWriterDisabled{false};
std::mutex g_configMutex;
std::string g_folder;
std::string g_fixedName;

// Set while this thread is inside the log, so a hook that logs cannot recurse into it.
thread_local bool t_bInLog = false;

class InLogScope {
public:
    InLogScope() noexcept : m_bOuter(!t_bInLog) { t_bInLog = true; }
    ~InLogScope() {
        if (m_bOuter) t_bInLog = false;
    }
    InLogScope(const InLogScope&) = delete;
    InLogScope& operator=(const InLogScope&) = delete;

private:
    bool m_bOuter;
};

bool LogEnsureFolder() {
    {
        std::lock_guard lock(g_configMutex);
        if (!g_folder.empty() && IsDirectory(g_folder)) return true;
    }
    std::string folder = LogFindFolder();
    std::lock_guard lock(g_configMutex);
    g_folder = folder;
    return !folder.empty();
}

void InstallDefaults() {
    g_dwDumpLimit = LOG_DEFAULT_DUMP_LIMIT;
    g_dwRetention = LOG_DEFAULT_RETENTION;
    g_dwMask = LOG_DEFAULT_MASK;
}

LogTarget CurrentTarget() {
    std::lock_guard lock(g_configMutex);
    return LogTarget{g_folder, g_fixedName, g_dwRetention.load()};
}

void LogWriteText(const std::string& text) noexcept {
    if (g_bWriterDisabled) return;
    try {
        // Invalid UTF-8 is written with replacement characters rather than dropped.
        std::string converted = Utf8IsValid(text) ? text : Utf8Sanitize(text);
        if (converted.empty()) return;
        LogAppend(CurrentTarget(), converted, GetLocalTime());
    } catch (const std::bad_alloc&) {
        g_bWriterDisabled = true;
    } catch (...) {
        // Logging never fails its caller.
    }
}

// Formats the message; false when it is longer than the largest buffer.
bool FormatMessageText(std::string& out, const char* pszFormat, va_list args) {
    va_list probe;
    va_copy(probe, args);
    int n = std::vsnprintf(nullptr, 0, pszFormat, probe);
    va_end(probe);
    if (n < 0) return true;  // a formatting error logs what was formatted: nothing
    // A character takes at most four bytes; this refuses before allocating.
    if (static_cast<std::size_t>(n) > 4 * kLogMaxMessageChars) return false;
    out.resize(static_cast<std::size_t>(n));
    std::vsnprintf(out.data(), out.size() + 1, pszFormat, args);
    return Utf8Length(out) <= kLogMaxMessageChars;
}

void LogUnknownErrno(int err, DWORD mapped) {
    if (t_bInLog) return;
    LastErrorGuard keep;
    LogMessage(LOG_WARNING, 'W', __LINE__, mapped, "Unknown system error %d (%s) taken as %u", err, std::strerror(err),
               static_cast<unsigned>(mapped));
}

}  // namespace

BOOL LogSetup(DWORD dwMask, const char* pszFileName) noexcept {
    InLogScope scope;
    SetUnknownErrnoHook(LogUnknownErrno);
    if (!LogEnsureFolder()) return FALSE;
    std::string fixedName;
    if (pszFileName != nullptr && pszFileName[0] != '\0') {
        if (std::strchr(pszFileName, '/') != nullptr) {
            SetLastError(ERROR_INVALID_NAME);  // a name must stay inside the log folder
            return FALSE;
        }
        try {
            fixedName = Utf8Prefix(pszFileName, kMaxFixedNameChars);
            if (fixedName.find(".log") == std::string::npos) fixedName += ".log";
        } catch (...) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return FALSE;
        }
    }
    g_dwMask = ((dwMask | LOG_MASK_CONFIGURED) == 0xFFFFFFFFu) ? LOG_DEFAULT_MASK
                                                               : dwMask | LOG_MASK_CONFIGURED | LOG_MASK_FOLDER_KNOWN;
    g_dwDumpLimit = LOG_DEFAULT_DUMP_LIMIT;
    g_dwRetention = LOG_DEFAULT_RETENTION;
    if (!fixedName.empty()) {
        std::string folder;
        {
            std::lock_guard lock(g_configMutex);
            g_fixedName = fixedName;
            folder = g_folder;
        }
        (void)::unlink((folder + "/" + fixedName).c_str());
    }
    return TRUE;
}

bool LogIsEnabled(DWORD dwCategory) noexcept {
    if ((g_dwMask & LOG_MASK_FOLDER_KNOWN) == 0) {
        LastErrorGuard keep;
        InLogScope scope;
        if (!LogEnsureFolder()) return false;
    }
    if ((g_dwMask & LOG_MASK_CONFIGURED) == 0) InstallDefaults();
    DWORD dwMask = g_dwMask;
    return (dwMask & LOG_MASK_OFF) == 0 && (dwCategory & dwMask) != 0;
}

void LogMessage(DWORD dwCategory, char chLevel, int nLine, DWORD dwError, const char* pszFormat, ...) noexcept {
    if (!LogIsEnabled(dwCategory) || pszFormat == nullptr) return;
    InLogScope scope;
    DWORD dwShown = dwError != 0 ? dwError : GetLastError();
    try {
        std::string text;
        va_list args;
        va_start(args, pszFormat);
        bool bFits = FormatMessageText(text, pszFormat, args);
        va_end(args);
        if (bFits) LogWriteText(LogFormatLine(GetLocalTime(), chLevel, dwShown, nLine, text));
    } catch (...) {
        // Logging never fails its caller.
    }
    SetLastError(dwError);
}

void LogDump(DWORD dwCategory, const char* pszTitle, const void* pData, std::size_t cbData) noexcept {
    LastErrorGuard keep;
    if (!LogIsEnabled(dwCategory)) return;
    DWORD dwLimit = g_dwDumpLimit;
    if (dwLimit == 0 || cbData == 0 || pData == nullptr) return;
    InLogScope scope;
    try {
        LogWriteText(LogFormatDump(GetLocalTime(), LogDumpTitle(dwCategory, pszTitle),
                                   static_cast<const unsigned char*>(pData), cbData, dwLimit));
    } catch (...) {
        // Logging never fails its caller.
    }
}

std::string LogFolder() {
    std::lock_guard lock(g_configMutex);
    return g_folder;
}

void LogResetForTest() noexcept {
    g_dwMask = 0;
    g_dwDumpLimit = 0;
    g_dwRetention = 0;
    g_bWriterDisabled = false;
    {
        std::lock_guard lock(g_configMutex);
        g_folder.clear();
        g_fixedName.clear();
    }
    LogFileForgetState();
}
