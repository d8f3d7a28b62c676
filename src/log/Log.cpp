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
#include "log/LogQueue.h"
#include "platform/LastError.h"
#include "platform/Paths.h"
#include "platform/Text.h"
#include "platform/WinError.h"

namespace {

constexpr std::size_t kMaxFixedNameChars = 63;
// Room for bursts of dumps while the file is slow; beyond it entries are dropped, counted.
constexpr std::size_t kQueueLimit = 16u << 20;
// The longest a flush waits for the log thread (which itself never waits long).
constexpr DWORD kFlushWaitMs = 5000;

// The configuration words are read without a lock; the paths are guarded.
std::atomic<DWORD> g_dwMask{0};
std::atomic<DWORD> g_dwDumpLimit{0};
std::atomic<DWORD> g_dwRetention{0};
std::atomic<bool> g_bWriterDisabled{false};
std::mutex g_configMutex;
std::string g_folder;
std::string g_fixedName;
// Said once per process: the shared folder was passed over as an older install's.
std::string g_folderNote;
bool g_bFolderNoteTold = false;

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
    LogFolderChoice choice = LogFindFolder();
    std::lock_guard lock(g_configMutex);
    g_folder = choice.folder;
    if (!choice.note.empty() && !g_bFolderNoteTold) g_folderNote = choice.note;
    return !choice.folder.empty();
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

void WriteQueued(std::vector<std::string>& entries) { LogWriteEntries(CurrentTarget(), entries, GetLocalTime()); }

std::string DroppedLine(unsigned nDropped) {
    return LogFormatLine(GetLocalTime(), 'W', ERROR_BUFFER_OVERFLOW, __LINE__,
                         StrPrintf("[log] %u entries dropped while the log queue was full", nDropped));
}

LogQueue* g_pQueue = nullptr;

LogQueue& Queue() {
    static const bool s_bMade = [] {
        g_pQueue = new LogQueue(WriteQueued, DroppedLine, kQueueLimit);  // lives as long as the process
        LogQueue::InstallProcessHandlers(&g_pQueue);
        return true;
    }();
    (void)s_bMade;
    return *g_pQueue;
}

void LogWriteText(std::string&& text) noexcept {
    if (g_bWriterDisabled || text.empty()) return;
    Queue().Push(std::move(text));
}

void BeginFixedFile() { LogBeginFile(CurrentTarget()); }

// The line about a passed-over shared folder, once, after the file is begun.
void TellFolderNote() {
    std::string note;
    {
        std::lock_guard lock(g_configMutex);
        if (g_folderNote.empty() || g_bFolderNoteTold) return;
        g_bFolderNoteTold = true;
        note.swap(g_folderNote);
    }
    LogWriteText(LogFormatLine(GetLocalTime(), 'W', ERROR_ACCESS_DENIED, __LINE__, note));
}

// Formats the message; false when it is longer than the largest buffer.
bool FormatMessageText(std::string& out, const char* pszFormat, va_list args) {
    // Most messages are short: one formatting pass into a buffer on the stack.
    char small[512];
    va_list probe;
    va_copy(probe, args);
    int n = std::vsnprintf(small, sizeof small, pszFormat, probe);
    va_end(probe);
    if (n < 0) return true;  // a formatting error logs what was formatted: nothing
    if (static_cast<std::size_t>(n) < sizeof small) {
        out.assign(small, static_cast<std::size_t>(n));
        return true;  // far below the largest message in any encoding
    }
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

namespace {

enum class SetupBegin { Now, Later };

BOOL SetupLog(DWORD dwMask, const char* pszFileName, SetupBegin begin) noexcept {
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
    // What was logged before goes where it was meant to go.
    Queue().Flush(kFlushWaitMs);
    g_dwMask = ((dwMask | LOG_MASK_CONFIGURED) == 0xFFFFFFFFu) ? LOG_DEFAULT_MASK
                                                               : dwMask | LOG_MASK_CONFIGURED | LOG_MASK_FOLDER_KNOWN;
    g_dwDumpLimit = LOG_DEFAULT_DUMP_LIMIT;
    g_dwRetention = LOG_DEFAULT_RETENTION;
    if (!fixedName.empty()) {
        {
            std::lock_guard lock(g_configMutex);
            g_fixedName = fixedName;
        }
        if (begin == SetupBegin::Now) {
            BeginFixedFile();
        } else {
            Queue().Hold();
        }
    }
    TellFolderNote();
    return TRUE;
}

}  // namespace

BOOL LogSetup(DWORD dwMask, const char* pszFileName) noexcept { return SetupLog(dwMask, pszFileName, SetupBegin::Now); }

BOOL LogSetupPending(DWORD dwMask, const char* pszFileName) noexcept {
    return SetupLog(dwMask, pszFileName, SetupBegin::Later);
}

void LogBegin(LogStart start) noexcept {
    InLogScope scope;
    Queue().Release(start == LogStart::Fresh ? BeginFixedFile : nullptr);
}

void LogFlush() noexcept {
    // A start that shows a box before it knows whether it holds the instance lock adds its
    // lines to the file as it stands: they are in the file when the box is read.
    Queue().Release(nullptr);
    Queue().Flush(kFlushWaitMs);
}

bool LogIsEnabled(DWORD dwCategory) noexcept {
    if ((g_dwMask & LOG_MASK_FOLDER_KNOWN) == 0) {
        LastErrorGuard keep;
        InLogScope scope;
        if (!LogEnsureFolder()) return false;
        TellFolderNote();
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
        // Invalid UTF-8 is written with replacement characters rather than dropped.
        if (bFits && !Utf8IsValid(text)) text = Utf8Sanitize(text);
        if (bFits) LogWriteText(LogFormatLine(GetLocalTime(), chLevel, dwShown, nLine, text));
    } catch (const std::bad_alloc&) {
        g_bWriterDisabled = true;
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
        std::string title = LogDumpTitle(dwCategory, pszTitle);
        if (!Utf8IsValid(title)) title = Utf8Sanitize(title);
        LogWriteText(
            LogFormatDump(GetLocalTime(), title, static_cast<const unsigned char*>(pData), cbData, dwLimit));
    } catch (const std::bad_alloc&) {
        g_bWriterDisabled = true;
    } catch (...) {
        // Logging never fails its caller.
    }
}

std::string LogFolder() {
    std::string redirected = LogRedirectedFolder();
    if (!redirected.empty()) return redirected;
    std::lock_guard lock(g_configMutex);
    return g_folder;
}

void LogResetForTest() noexcept {
    // What the last configuration queued is written where it belonged.
    Queue().Release(nullptr);
    Queue().Flush(kFlushWaitMs);
    g_dwMask = 0;
    g_dwDumpLimit = 0;
    g_dwRetention = 0;
    g_bWriterDisabled = false;
    {
        std::lock_guard lock(g_configMutex);
        g_folder.clear();
        g_fixedName.clear();
        g_folderNote.clear();
        g_bFolderNoteTold = false;
    }
    LogFileForgetState();
}
