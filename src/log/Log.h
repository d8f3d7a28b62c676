#pragma once
// The diagnostic log that support engineers read after a failed update. Logging never
// fails its caller: whatever goes wrong inside is swallowed.
#include <cstddef>
#include <string>

#include "platform/Text.h"
#include "platform/Types.h"

// Category bits (mask bits 0..27) and their level letters.
inline constexpr DWORD LOG_ACTION = 0x001;       // 'A'
inline constexpr DWORD LOG_ERROR = 0x002;        // 'E'
inline constexpr DWORD LOG_WARNING = 0x004;      // 'W'
inline constexpr DWORD LOG_APP = 0x010;          // 'I'
inline constexpr DWORD LOG_TRACE = 0x020;        // 'I'
inline constexpr DWORD LOG_INFO = 0x040;         // 'I'
inline constexpr DWORD LOG_DEBUG = 0x080;        // 'D'
inline constexpr DWORD LOG_RECEIVED = 0x100;     // dump
inline constexpr DWORD LOG_TRANSMITTED = 0x200;  // dump
inline constexpr DWORD LOG_DUMP = 0x800;         // dump

// Mask word bits beyond the categories.
inline constexpr DWORD LOG_MASK_FOLDER_KNOWN = 0x10000000;  // configured; folder not looked up per entry
inline constexpr DWORD LOG_MASK_CONFIGURED = 0x40000000;    // came from LogSetup
inline constexpr DWORD LOG_MASK_OFF = 0x80000000;           // nothing is logged
inline constexpr DWORD LOG_DEFAULT_MASK = 0x10000007;
inline constexpr DWORD LOG_DEFAULT_DUMP_LIMIT = 65535;
inline constexpr DWORD LOG_DEFAULT_RETENTION = 404;
inline constexpr DWORD LOG_ROTATE_SIZE = 32000000;

// The program's fixed configuration.
inline constexpr DWORD LOG_PROGRAM_MASK = 0x357;
inline constexpr const char* LOG_PROGRAM_NAME = "Kelvo";

// Finds (or makes) the folder and installs the mask, the dump limit and the retention;
// with a file name, uses it as the fixed name (".log" added unless it holds ".log")
// and deletes that file, after writing what was logged before. 1 on success, 0 when the
// folder cannot be found or made.
BOOL LogSetup(DWORD dwMask, const char* pszFileName) noexcept;

// As LogSetup, but the fixed-name file is not deleted yet: entries are kept in memory
// until LogBegin, so a start that turns out to be a second one never removes the
// record of the run that holds the instance lock.
BOOL LogSetupPending(DWORD dwMask, const char* pszFileName) noexcept;
enum class LogStart {
    Fresh,   // this run holds the instance lock: the file is deleted, then the kept entries begin a new one
    Append,  // the kept entries are added to the file as it stands
};
// Ends the keeping of LogSetupPending; nothing when no entries are kept (a flush or
// the exit has already appended them).
void LogBegin(LogStart start) noexcept;

// Entries are written by the log's own thread. Waits (a few seconds at most) until
// every entry logged before the call is in the file: at the end of a run, before a
// message box, at a quick exit, and before a test reads the file. Entries kept by
// LogSetupPending are appended, as by LogBegin(LogStart::Append).
void LogFlush() noexcept;

// True when an entry of this category would be written. Keeps the last error.
bool LogIsEnabled(DWORD dwCategory) noexcept;

// One message line. An error code of 0 shows the thread's current last error; on return
// the last error equals dwError as passed (a disabled category returns at once and
// changes nothing). nLine is the caller's __LINE__.
void LogMessage(DWORD dwCategory, char chLevel, int nLine, DWORD dwError, const char* pszFormat, ...) noexcept
    KELVO_PRINTF(5, 6);

// A hex dump of printer traffic or other raw data. Keeps the last error.
void LogDump(DWORD dwCategory, const char* pszTitle, const void* pData, std::size_t cbData) noexcept;

// The folder in use (empty until found): the per-user folder once the shared folder's
// file was refused.
std::string LogFolder();
// Forgets every configuration and remembered path, as in a new process. Tests only.
void LogResetForTest() noexcept;
