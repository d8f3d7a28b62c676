#pragma once
// Windows-style events on eventfd, and one wait over any mix of events and fds.
#include <poll.h>

#include <atomic>
#include <mutex>
#include <span>

#include "platform/Types.h"
#include "platform/UniqueFd.h"

inline constexpr DWORD WAIT_OBJECT_0 = 0;
inline constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
// WAIT_TIMEOUT (258) is in WinError.h.

// A manual-reset event stays signalled until Reset(); an auto-reset event is consumed by
// the one waiter that wins it. The eventfd is readable while the event is signalled
// whenever someone may be polling it (a WaitForAny that holds it in its set, or anyone
// who took Fd()); with nobody polling, Set, Reset and a won wait are no system calls.
// It may also be readable for a moment after a Reset (see Set): a readable fd means
// "look at the event", never the signal itself; a Reset drains it again.
// Construction failure (no fds left) leaves an invalid event whose waits fail with the
// last error set.
class Event {
public:
    explicit Event(bool bManualReset = true, bool bInitialState = false) noexcept;
    // Waits for a Set still under way on another thread (its waiter may already have
    // returned), so that its late write never reaches a closed or reused fd number.
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool Valid() const noexcept { return m_fd.Valid(); }
    bool IsManualReset() const noexcept { return m_bManualReset; }
    // For a poll set of the caller's own: from this call on the fd is readable whenever
    // the event is signalled (and at most spuriously after a Reset, until the next Reset).
    int Fd() noexcept;

    void Set() noexcept;
    void Reset() noexcept;
    // Signalled now? Does not consume an auto-reset event.
    bool IsSet() const noexcept;
    // True if this caller owns the signal (always for manual reset while set; for auto
    // reset only the first caller, which consumes it).
    bool TryAcquire() noexcept;

    // WaitForAny's side: while a poller is counted, the fd mirrors the event. Returns the fd.
    int AddPoller() noexcept;
    void RemovePoller() noexcept;
    // For a poller that found the fd readable but could not take the event: when the event
    // is not set, the fd is drained (a setter's write may land after a Reset).
    void ClearStale() noexcept;

private:
    // Under m_mutex: the fd is made readable (or drained) to match m_bSignalled.
    void MirrorLocked() noexcept;
    void DrainLocked() noexcept;

    UniqueFd m_fd;
    bool m_bManualReset;
    // Changes of the state and of the fd are made under m_mutex. A manual-reset event's
    // state is read without it, and a poller leaves without it: a Set that still counts
    // it only makes the fd readable early, which is what the state says.
    std::mutex m_mutex;
    std::atomic<bool> m_bSignalled{false};
    bool m_bFdReadable = false;           // the eventfd's counter is not 0
    std::atomic<unsigned> m_nPollers{0};  // 1 more for good once Fd() was handed out
    std::atomic<unsigned> m_nWritesUnderWay{0};  // Sets between their lock and their write's end
    bool m_bFdHandedOut = false;
};

// One item of a wait: an event, or an fd with the poll events to wait for.
struct WaitItem {
    Event* pEvent = nullptr;
    int fd = -1;
    short events = POLLIN;

    static WaitItem For(Event& ev) noexcept { return WaitItem{&ev, -1, POLLIN}; }
    static WaitItem ForFd(int fd, short events) noexcept { return WaitItem{nullptr, fd, events}; }
};

// Waits until one item fires or dwTimeout ms pass. Returns WAIT_OBJECT_0 + index of the
// first fired item (lowest index wins when several are ready; an auto-reset event is
// consumed), WAIT_TIMEOUT, or WAIT_FAILED with the last error set. For an fd item,
// *pRevents (when given) receives its poll revents (POLLERR/POLLHUP count as firing).
DWORD WaitForAny(std::span<const WaitItem> items, DWORD dwTimeout, short* pRevents = nullptr) noexcept;
DWORD WaitForEvent(Event& ev, DWORD dwTimeout) noexcept;
