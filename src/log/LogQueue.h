#pragma once
// The log's bounded in-process queue and the one thread that writes it, so that nobody
// who logs waits on the file (or on anything another process holds). Entries keep the
// order in which they were pushed, across all threads of the process.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Types.h"

class LogQueue {
public:
    // Writes finished entries in order; called on the log thread, or on the caller once no
    // thread writes (after exit began, in the child of a fork, when no thread can start).
    using Writer = void (*)(std::vector<std::string>& entries);
    // The line that tells how many entries were dropped because the queue was full.
    using DroppedLine = std::string (*)(unsigned nDropped);

    LogQueue(Writer pfnWriter, DroppedLine pfnDropped, std::size_t cbLimit) noexcept
        : m_pfnWriter(pfnWriter), m_pfnDropped(pfnDropped), m_cbLimit(cbLimit) {}
    // The process's own queue is never destroyed (it ends at exit); any other ends here.
    ~LogQueue() { Shutdown(); }
    LogQueue(const LogQueue&) = delete;
    LogQueue& operator=(const LogQueue&) = delete;

    // Queues one entry. When the queue is full the entry is dropped and counted, and the
    // next entry that fits is preceded by the dropped line.
    void Push(std::string&& entry) noexcept;
    // Waits up to dwTimeout ms until every entry pushed before the call (and not held) is
    // written. True when it is.
    bool Flush(DWORD dwTimeout) noexcept;
    // From now on entries are kept back, not written, until Release.
    void Hold() noexcept;
    // Lets the kept entries go to the writer, after pfnBefore (when given) has run with
    // every earlier entry written. Nothing at all when no entries are kept.
    void Release(void (*pfnBefore)()) noexcept;
    // Writes what is queued (kept entries are added to the file, never begun afresh) and
    // ends the thread; later entries are written by their callers. Runs at exit.
    void Shutdown() noexcept;
    // Entries dropped for want of room since the queue was made.
    std::uint64_t DroppedTotal() const noexcept;

    // Once per process, for the queue *ppQueue points to: Shutdown at exit; in the child
    // of a fork, which has no log thread, the queue is left as it was and the child gets
    // one whose callers write.
    static void InstallProcessHandlers(LogQueue** ppQueue) noexcept;

private:
    enum class Mode { Idle, Thread, Direct };

    void Run();
    bool StartLocked() noexcept;
    void PushLocked(std::string&& entry, std::vector<std::string>& into);

    const Writer m_pfnWriter;
    const DroppedLine m_pfnDropped;
    const std::size_t m_cbLimit;

    mutable std::mutex m_mutex;
    std::condition_variable m_cvWork;
    std::condition_variable m_cvWritten;
    std::mutex m_directMutex;  // keeps callers' writes in order once no thread writes
    Mode m_mode = Mode::Idle;
    bool m_bWriterIdle = false;       // waits for the first entry
    bool m_bWriterGathering = false;  // waits a moment for more
    unsigned m_nFlushWaiters = 0;
    bool m_bStopping = false;
    bool m_bStopped = false;
    bool m_bHolding = false;
    std::vector<std::string> m_ready;
    std::vector<std::string> m_held;
    std::size_t m_cbQueued = 0;
    unsigned m_nDropped = 0;
    std::uint64_t m_nDroppedTotal = 0;
    std::uint64_t m_nPushed = 0;   // entries that reached m_ready
    std::uint64_t m_nWritten = 0;  // of those, handed to the writer and done
    std::thread m_thread;
};
