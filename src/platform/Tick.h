#pragma once
// Milliseconds on the monotonic clock as a wrapping 32-bit tick count.
#include "platform/Types.h"

DWORD GetTickCount() noexcept;
// Sleeps on the monotonic clock; resumes after signals until the time has passed.
void Sleep(DWORD dwMilliseconds) noexcept;

// The one helper every waiting loop uses: a start tick and a budget, compared by
// unsigned difference so the wrap of the tick count is harmless. INFINITE never expires.
class Deadline {
public:
    explicit Deadline(DWORD dwTimeout) noexcept : Deadline(GetTickCount(), dwTimeout) {}
    Deadline(DWORD dwStart, DWORD dwTimeout) noexcept : m_dwStart(dwStart), m_dwTimeout(dwTimeout) {}

    DWORD Start() const noexcept { return m_dwStart; }
    DWORD Timeout() const noexcept { return m_dwTimeout; }
    bool IsInfinite() const noexcept { return m_dwTimeout == INFINITE; }

    DWORD Elapsed(DWORD dwNow) const noexcept { return dwNow - m_dwStart; }
    // Time left at dwNow: 0 when expired, INFINITE for an infinite budget.
    DWORD Remaining(DWORD dwNow) const noexcept {
        if (IsInfinite()) return INFINITE;
        DWORD dwElapsed = Elapsed(dwNow);
        return dwElapsed >= m_dwTimeout ? 0 : m_dwTimeout - dwElapsed;
    }
    bool Expired(DWORD dwNow) const noexcept { return !IsInfinite() && Elapsed(dwNow) >= m_dwTimeout; }

    DWORD Elapsed() const noexcept { return Elapsed(GetTickCount()); }
    DWORD Remaining() const noexcept { return Remaining(GetTickCount()); }
    bool Expired() const noexcept { return Expired(GetTickCount()); }

private:
    DWORD m_dwStart;
    DWORD m_dwTimeout;
};

// A tick difference as poll()'s timeout argument (-1 for INFINITE, capped to INT_MAX).
int TimeoutToPoll(DWORD dwTimeout) noexcept;
