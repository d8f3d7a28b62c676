#pragma once
// The thread's last-error value and the one place where errno becomes a Windows number.
#include "platform/Types.h"

void SetLastError(DWORD dwError) noexcept;
DWORD GetLastError() noexcept;

// errno of a file, device or process call to its Windows number. An errno the table
// does not know gives ERROR_GEN_FAILURE and is reported to the unknown-errno hook.
DWORD ErrnoToWinError(int err) noexcept;
// errno of a socket call to its Winsock number (falls back to ErrnoToWinError).
DWORD SocketErrnoToWinError(int err) noexcept;

// Sets the last error from errno (or from `err`) and returns FALSE, for `return` on error paths.
BOOL SetLastErrorFromErrno(int err) noexcept;
BOOL SetLastErrorFromSocketErrno(int err) noexcept;

// Keeps the thread's last error across a scope (clean-up that must not change it).
class LastErrorGuard {
public:
    LastErrorGuard() noexcept : m_dwSaved(GetLastError()) {}
    ~LastErrorGuard() { SetLastError(m_dwSaved); }
    LastErrorGuard(const LastErrorGuard&) = delete;
    LastErrorGuard& operator=(const LastErrorGuard&) = delete;

private:
    DWORD m_dwSaved;
};

// Called for an errno the translation does not know,
// so the log can record it. The platform layer cannot depend on the log.
using UnknownErrnoHook = void (*)(int err, DWORD mapped);
void SetUnknownErrnoHook(UnknownErrnoHook hook) noexcept;
