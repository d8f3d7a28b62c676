#include "platform/Thread.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <system_error>

#include "platform/LastError.h"
#include "platform/WinError.h"

Thread::~Thread() {
    if (m_thread.joinable()) m_thread.join();
}

BOOL Thread::Start(std::function<void()> fn) noexcept {
    if (m_thread.joinable()) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    try {
        // Shared with the thread, so an abandoned thread still has its event to set.
        auto pEnded = std::make_shared<Event>(true, false);
        if (!pEnded->Valid()) return FALSE;
        m_thread = std::thread([fn = std::move(fn), pEnded]() {
            fn();
            pEnded->Set();
        });
        m_pEnded = std::move(pEnded);
        return TRUE;
    } catch (const std::system_error& e) {
        SetLastErrorFromErrno(e.code().value());
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return FALSE;
}

bool Thread::HasEnded() const noexcept { return !m_thread.joinable() || m_pEnded->IsSet(); }

DWORD Thread::WaitForEnd(DWORD dwTimeout) noexcept {
    if (!m_thread.joinable()) return WAIT_OBJECT_0;
    DWORD dwWait = WaitForEvent(*m_pEnded, dwTimeout);
    if (dwWait == WAIT_OBJECT_0) m_thread.join();
    return dwWait;
}

void Thread::Abandon() noexcept {
    if (m_thread.joinable()) m_thread.detach();
    m_pEnded.reset();
}

JobThread::~JobThread() { Stop(); }

BOOL JobThread::Start(std::function<void()> fn) noexcept {
    if (m_bAttached) {
        SetLastError(ERROR_BUSY);
        return FALSE;
    }
    if (!m_evtEnded.Valid()) return FALSE;
    m_evtEnded.Reset();
    // The thread has left the last job's function behind before its end was set.
    m_job = std::move(fn);
    m_bJobHanded = true;
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread([this]() { Run(); });
        } catch (const std::system_error& e) {
            SetLastErrorFromErrno(e.code().value());
        } catch (...) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (!m_thread.joinable()) {
            m_bJobHanded = false;
            m_job = nullptr;
            return FALSE;
        }
    } else {
        WakeRunner();
    }
    m_bAttached = true;
    return TRUE;
}

bool JobThread::HasEnded() const noexcept { return !m_bAttached || m_evtEnded.IsSet(); }

DWORD JobThread::WaitForEnd(DWORD dwTimeout) noexcept {
    if (!m_bAttached) return WAIT_OBJECT_0;
    const DWORD dwWait = m_evtEnded.IsSet() ? WAIT_OBJECT_0 : WaitForEvent(m_evtEnded, dwTimeout);
    if (dwWait == WAIT_OBJECT_0) m_bAttached = false;
    return dwWait;
}

void JobThread::Stop() noexcept {
    WaitForEnd(INFINITE);
    if (!m_thread.joinable()) return;
    m_bStop = true;
    WakeRunner();
    m_thread.join();
    m_bStop = false;
}

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) && std::atomic<std::uint32_t>::is_always_lock_free,
              "the wake word is used as a futex");

void JobThread::WakeRunner() noexcept {
    if (m_wakeWord.exchange(1) == 2) {
        (void)::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&m_wakeWord), FUTEX_WAKE_PRIVATE, 1, nullptr,
                        nullptr, 0);
    }
}

void JobThread::WaitForWake() noexcept {
    for (;;) {
        std::uint32_t word = m_wakeWord.load();
        if (word == 1) {
            if (m_wakeWord.compare_exchange_strong(word, 0)) return;
            continue;
        }
        if (word == 0 && !m_wakeWord.compare_exchange_strong(word, 2)) continue;
        // Returns at once when the word is no longer 2; a spurious return loops.
        (void)::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&m_wakeWord), FUTEX_WAIT_PRIVATE, 2, nullptr,
                        nullptr, 0);
    }
}

void JobThread::Run() noexcept {
    for (;;) {
        // The flags are looked at before each sleep, and each change wakes: none is missed.
        if (m_bJobHanded.exchange(false)) {
            std::function<void()> job = std::move(m_job);
            m_job = nullptr;
            SetLastError(ERROR_SUCCESS);
            job();
            // What the job holds goes before its end is seen.
            job = nullptr;
            m_evtEnded.Set();
            continue;
        }
        if (m_bStop) return;
        WaitForWake();
    }
}
