#include "platform/Thread.h"

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
    {
        std::lock_guard lock(m_mutex);
        m_job = std::move(fn);
    }
    if (!m_thread.joinable()) {
        try {
            m_thread = std::thread([this]() { Run(); });
        } catch (const std::system_error& e) {
            SetLastErrorFromErrno(e.code().value());
        } catch (...) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (!m_thread.joinable()) {
            std::lock_guard lock(m_mutex);
            m_job = nullptr;
            return FALSE;
        }
    } else {
        m_wake.notify_one();
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
    {
        std::lock_guard lock(m_mutex);
        m_bStop = true;
    }
    m_wake.notify_one();
    m_thread.join();
    std::lock_guard lock(m_mutex);
    m_bStop = false;
}

void JobThread::Run() noexcept {
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_job != nullptr || m_bStop; });
        if (m_job == nullptr) return;
        std::function<void()> job = std::move(m_job);
        m_job = nullptr;
        lock.unlock();
        SetLastError(ERROR_SUCCESS);
        job();
        // What the job holds goes before its end is seen.
        job = nullptr;
        m_evtEnded.Set();
        lock.lock();
    }
}
