#include "log/LogQueue.h"

#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <new>
#include <system_error>
#include <utility>

namespace {

// What an entry costs beyond its text, so that many small entries are bounded too.
constexpr std::size_t kEntryOverhead = 64;
// How long the end of the process waits for the log thread to write what is queued.
constexpr DWORD kShutdownWaitMs = 10000;
// Once woken by a burst (every block of a transfer dumped), the writer gathers entries this
// long, or until this much is queued, so that the burst costs a few writes rather than one
// each. Single lines are written at once; a flush, the end and a full batch cut the
// gathering short.
constexpr std::size_t kGatherFrom = 8u << 10;
constexpr auto kGatherTime = std::chrono::milliseconds(5);
constexpr std::size_t kGatherBytes = 256u << 10;

LogQueue** g_ppQueue = nullptr;
LogQueue* g_pPreparedQueue = nullptr;

}  // namespace

bool LogQueue::StartLocked() noexcept {
    try {
        m_thread = std::thread([this] { Run(); });
        m_mode = Mode::Thread;
        return true;
    } catch (const std::system_error&) {
        m_mode = Mode::Direct;
        return false;
    }
}

void LogQueue::PushLocked(std::string&& entry, std::vector<std::string>& into) {
    const std::size_t cb = entry.size() + kEntryOverhead;
    if (m_cbQueued + cb > m_cbLimit) {
        ++m_nDropped;
        ++m_nDroppedTotal;
        return;
    }
    if (m_nDropped != 0) {
        std::string told = m_pfnDropped(m_nDropped);
        m_cbQueued += told.size() + kEntryOverhead;
        into.push_back(std::move(told));
        if (&into == &m_ready) ++m_nPushed;
        m_nDropped = 0;
    }
    m_cbQueued += cb;
    into.push_back(std::move(entry));
    if (&into == &m_ready) ++m_nPushed;
}

void LogQueue::Push(std::string&& entry) noexcept {
    try {
        std::unique_lock lock(m_mutex);
        if (m_bHolding) {
            PushLocked(std::move(entry), m_held);
            return;
        }
        if (m_mode == Mode::Idle) StartLocked();
        if (m_mode == Mode::Direct) {
            lock.unlock();
            std::lock_guard direct(m_directMutex);
            std::vector<std::string> one;
            one.push_back(std::move(entry));
            m_pfnWriter(one);
            return;
        }
        PushLocked(std::move(entry), m_ready);
        if (m_bWriterIdle || (m_bWriterGathering && m_cbQueued >= kGatherBytes)) m_cvWork.notify_one();
    } catch (...) {
        // Logging never fails its caller.
    }
}

void LogQueue::Run() {
    std::vector<std::string> batch;
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_bWriterIdle = true;
        m_cvWork.wait(lock, [this] { return !m_ready.empty() || m_bStopping; });
        m_bWriterIdle = false;
        if (m_cbQueued >= kGatherFrom) {
            m_bWriterGathering = true;
            m_cvWork.wait_for(lock, kGatherTime,
                              [this] { return m_cbQueued >= kGatherBytes || m_bStopping || m_nFlushWaiters != 0; });
            m_bWriterGathering = false;
        }
        if (m_ready.empty()) break;  // stopping, and all is written
        batch.swap(m_ready);
        for (const std::string& entry : batch) m_cbQueued -= entry.size() + kEntryOverhead;
        lock.unlock();
        try {
            m_pfnWriter(batch);
        } catch (...) {
        }
        const std::size_t n = batch.size();
        batch.clear();
        lock.lock();
        m_nWritten += n;
        m_cvWritten.notify_all();
    }
    m_bStopped = true;
    m_cvWritten.notify_all();
}

bool LogQueue::Flush(DWORD dwTimeout) noexcept {
    try {
        std::unique_lock lock(m_mutex);
        if (m_mode != Mode::Thread) return true;
        const std::uint64_t nTarget = m_nPushed;
        if (m_nWritten >= nTarget) return true;
        ++m_nFlushWaiters;
        m_cvWork.notify_one();
        const bool bDone = m_cvWritten.wait_for(lock, std::chrono::milliseconds(dwTimeout),
                                                [&] { return m_nWritten >= nTarget || m_bStopped; });
        --m_nFlushWaiters;
        return bDone;
    } catch (...) {
        return false;
    }
}

void LogQueue::Hold() noexcept {
    std::lock_guard lock(m_mutex);
    m_bHolding = true;
}

void LogQueue::Release(void (*pfnBefore)()) noexcept {
    {
        std::lock_guard lock(m_mutex);
        if (!m_bHolding) return;
    }
    if (pfnBefore != nullptr) {
        Flush(kShutdownWaitMs);
        pfnBefore();
    }
    try {
        std::unique_lock lock(m_mutex);
        if (!m_bHolding) return;
        m_bHolding = false;
        std::vector<std::string> held;
        held.swap(m_held);
        for (const std::string& entry : held) m_cbQueued -= entry.size() + kEntryOverhead;
        if (m_mode == Mode::Idle) StartLocked();
        if (m_mode == Mode::Direct) {
            lock.unlock();
            std::lock_guard direct(m_directMutex);
            m_pfnWriter(held);
            return;
        }
        for (std::string& entry : held) PushLocked(std::move(entry), m_ready);
        if (m_bWriterIdle) m_cvWork.notify_one();
    } catch (...) {
    }
}

void LogQueue::Shutdown() noexcept {
    std::unique_lock lock(m_mutex);
    std::vector<std::string> held;
    held.swap(m_held);
    m_bHolding = false;
    for (const std::string& entry : held) m_cbQueued -= entry.size() + kEntryOverhead;
    if (m_mode != Mode::Thread) {
        m_mode = Mode::Direct;
        lock.unlock();
        std::lock_guard direct(m_directMutex);
        if (!held.empty()) m_pfnWriter(held);
        return;
    }
    // Entries kept back for a start that never decided are added, never begun afresh.
    for (std::string& entry : held) PushLocked(std::move(entry), m_ready);
    m_bStopping = true;
    m_cvWork.notify_one();
    const bool bEnded =
        m_cvWritten.wait_for(lock, std::chrono::milliseconds(kShutdownWaitMs), [this] { return m_bStopped; });
    m_mode = Mode::Direct;
    lock.unlock();
    // A writer that did not end in time is left behind; the process is ending anyway.
    if (bEnded) {
        m_thread.join();
    } else {
        m_thread.detach();
    }
}

std::uint64_t LogQueue::DroppedTotal() const noexcept {
    std::lock_guard lock(m_mutex);
    return m_nDroppedTotal;
}

void LogQueue::InstallProcessHandlers(LogQueue** ppQueue) noexcept {
    g_ppQueue = ppQueue;
    std::atexit([] {
        if (LogQueue* pQueue = *g_ppQueue) pQueue->Shutdown();
    });
    ::pthread_atfork(
        [] {
            g_pPreparedQueue = *g_ppQueue;
            if (g_pPreparedQueue != nullptr) g_pPreparedQueue->m_mutex.lock();
        },
        [] {
            if (g_pPreparedQueue != nullptr) g_pPreparedQueue->m_mutex.unlock();
        },
        [] {
            LogQueue* pOld = g_pPreparedQueue;
            if (pOld == nullptr) return;
            // The parent writes what it queued; the child's callers write their own.
            auto* pFresh = new (std::nothrow) LogQueue(pOld->m_pfnWriter, pOld->m_pfnDropped, pOld->m_cbLimit);
            if (pFresh == nullptr) {
                pOld->m_mode = Mode::Direct;
                pOld->m_mutex.unlock();
                return;
            }
            pFresh->m_mode = Mode::Direct;
            *g_ppQueue = pFresh;
        });
}
