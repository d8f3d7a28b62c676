#include "platform/Event.h"

#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>
#include <thread>
#include <vector>

#include "platform/LastError.h"
#include "platform/Tick.h"
#include "platform/WinError.h"

Event::Event(bool bManualReset, bool bInitialState) noexcept
    : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), m_bManualReset(bManualReset) {
    if (!m_fd.Valid()) SetLastErrorFromErrno(errno);
    if (bInitialState) Set();
}

Event::~Event() {
    { std::lock_guard lock(m_mutex); }
    while (m_nWritesUnderWay.load() != 0) std::this_thread::yield();
}

void Event::MirrorLocked() noexcept {
    if (!m_bSignalled || m_bFdReadable || !m_fd.Valid()) return;
    std::uint64_t one = 1;
    if (::write(m_fd.Get(), &one, sizeof one) == sizeof one) m_bFdReadable = true;
}

void Event::DrainLocked() noexcept {
    if (!m_bFdReadable) return;
    std::uint64_t value = 0;
    (void)::read(m_fd.Get(), &value, sizeof value);
    m_bFdReadable = false;
}

int Event::Fd() noexcept {
    std::lock_guard lock(m_mutex);
    if (!m_bFdHandedOut) {
        m_bFdHandedOut = true;
        ++m_nPollers;
        MirrorLocked();
    }
    return m_fd.Get();
}

int Event::AddPoller() noexcept {
    std::lock_guard lock(m_mutex);
    ++m_nPollers;
    MirrorLocked();
    return m_fd.Get();
}

void Event::RemovePoller() noexcept {
    // The fd may stay readable: the next Reset or won wait drains it.
    --m_nPollers;
}

void Event::Set() noexcept {
    bool bWrite = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_bSignalled || !m_fd.Valid()) return;
        m_bSignalled = true;
        bWrite = m_nPollers > 0 && !m_bFdReadable;
        if (bWrite) {
            m_bFdReadable = true;
            ++m_nWritesUnderWay;
        }
    }
    // Outside the lock: the poller this wakes may run at once, and must not find the lock
    // held by a setter it preempted. A Reset that drains before this write lands leaves
    // the fd readable for a moment with the event not set; a poller that sees that drains
    // it (ClearStale) and polls again.
    if (bWrite) {
        std::uint64_t one = 1;
        (void)::write(m_fd.Get(), &one, sizeof one);
        --m_nWritesUnderWay;  // the last touch of this object
    }
}

void Event::ClearStale() noexcept {
    std::lock_guard lock(m_mutex);
    if (m_bSignalled) return;
    m_bFdReadable = true;  // whatever the flag says, a late write may be there
    DrainLocked();
}

void Event::Reset() noexcept {
    std::lock_guard lock(m_mutex);
    // The fd first: a poller that sees it readable always finds the event still set. A
    // handed-out fd is always drained, so that a setter's late write is gone by the next
    // Reset of its own poller.
    if (m_bFdHandedOut) m_bFdReadable = true;
    DrainLocked();
    m_bSignalled = false;
}

bool Event::IsSet() const noexcept { return m_bSignalled; }

bool Event::TryAcquire() noexcept {
    if (!m_bSignalled) return false;
    if (m_bManualReset) return true;
    std::lock_guard lock(m_mutex);
    if (!m_bSignalled) return false;
    DrainLocked();
    m_bSignalled = false;
    return true;
}

namespace {

// The first ready item in index order; an auto-reset event another waiter won is not ready.
int FirstFired(std::span<const WaitItem> items, const std::vector<pollfd>& fds, short* pRevents) noexcept {
    for (std::size_t i = 0; i < items.size(); ++i) {
        short revents = fds[i].revents;
        if (revents == 0) continue;
        if (items[i].pEvent != nullptr) {
            if (items[i].pEvent->TryAcquire()) return static_cast<int>(i);
            items[i].pEvent->ClearStale();
            continue;
        }
        if (pRevents != nullptr) *pRevents = revents;
        return static_cast<int>(i);
    }
    return -1;
}

// The events of a wait are polled only while it is registered with them.
class PollerScope {
public:
    explicit PollerScope(std::span<const WaitItem> items) noexcept : m_items(items) {}
    int Add(std::size_t i) noexcept {
        m_nAdded = i + 1;
        return m_items[i].pEvent->AddPoller();
    }
    ~PollerScope() {
        for (std::size_t i = 0; i < m_nAdded; ++i) {
            if (m_items[i].pEvent != nullptr) m_items[i].pEvent->RemovePoller();
        }
    }
    PollerScope(const PollerScope&) = delete;
    PollerScope& operator=(const PollerScope&) = delete;

private:
    std::span<const WaitItem> m_items;
    std::size_t m_nAdded = 0;
};

}  // namespace

DWORD WaitForAny(std::span<const WaitItem> items, DWORD dwTimeout, short* pRevents) noexcept {
    for (const WaitItem& item : items) {
        if (item.pEvent != nullptr && !item.pEvent->Valid()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    // An event already signalled is taken without a poll while no fd comes before it: the
    // lowest ready index is known without asking the kernel.
    for (std::size_t i = 0; i < items.size() && items[i].pEvent != nullptr; ++i) {
        if (items[i].pEvent->TryAcquire()) return WAIT_OBJECT_0 + static_cast<DWORD>(i);
    }
    std::vector<pollfd> fds;
    try {
        fds.resize(items.size());
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return WAIT_FAILED;
    }
    PollerScope pollers(items);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const WaitItem& item = items[i];
        fds[i].fd = item.pEvent != nullptr ? pollers.Add(i) : item.fd;
        fds[i].events = item.pEvent != nullptr ? static_cast<short>(POLLIN) : item.events;
    }
    Deadline deadline(dwTimeout);
    for (;;) {
        for (auto& p : fds) p.revents = 0;
        int rc = ::poll(fds.data(), fds.size(), TimeoutToPoll(deadline.Remaining()));
        if (rc < 0) {
            if (errno == EINTR) continue;
            SetLastErrorFromErrno(errno);
            return WAIT_FAILED;
        }
        if (rc > 0) {
            int fired = FirstFired(items, fds, pRevents);
            if (fired >= 0) return WAIT_OBJECT_0 + static_cast<DWORD>(fired);
        }
        if (deadline.Expired()) return WAIT_TIMEOUT;
    }
}

DWORD WaitForEvent(Event& ev, DWORD dwTimeout) noexcept {
    WaitItem item = WaitItem::For(ev);
    return WaitForAny(std::span<const WaitItem>(&item, 1), dwTimeout);
}
