#pragma once
// A worker thread whose end can be waited for with a time limit.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Event.h"
#include "platform/Types.h"

class Thread {
public:
    Thread() noexcept = default;
    // Joins a thread that is still running: nothing outlives its owner by accident.
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts fn on a new thread. FALSE with the last error when the thread cannot start
    // or one is already attached (wait for it first).
    BOOL Start(std::function<void()> fn) noexcept;
    bool Attached() const noexcept { return m_thread.joinable(); }
    // True once the function has returned (or when no thread is attached).
    bool HasEnded() const noexcept;
    // Waits up to dwTimeout ms for the function to return and then joins. Returns
    // WAIT_OBJECT_0 (ended, or no thread), WAIT_TIMEOUT or WAIT_FAILED.
    DWORD WaitForEnd(DWORD dwTimeout) noexcept;
    // Gives up on a thread that will not end; its exit is no longer waited for. Only for
    // a worker that must be left behind at process exit, or one that owns all it uses
    // and ends on its own.
    void Abandon() noexcept;

private:
    std::thread m_thread;
    std::shared_ptr<Event> m_pEnded;
};

// One thread kept for a run of jobs, one job at a time, so that a caller handing it many
// short jobs does not pay a thread's start for each. Seen from the caller a job behaves as
// a Thread's run: Start hands it (and makes the thread the first time), Attached holds
// from Start until a wait has seen the job end, WaitForEnd waits for the job (not the
// thread). Every job begins with the last error cleared, as on a new thread. The thread
// itself ends at Stop or destruction, both of which wait for the job handed first.
class JobThread {
public:
    JobThread() noexcept = default;
    ~JobThread();
    JobThread(const JobThread&) = delete;
    JobThread& operator=(const JobThread&) = delete;

    // Hands fn to the thread, starting the thread when there is none. FALSE with the last
    // error when the thread cannot start or a job is still attached (wait for it first).
    BOOL Start(std::function<void()> fn) noexcept;
    bool Attached() const noexcept { return m_bAttached.load(); }
    // Set (manual reset) once the job handed has returned, its captures destroyed; reset
    // by Start. For a wait that must also wake on other events.
    Event& EndEvent() noexcept { return m_evtEnded; }
    // True once the job has returned (or when none is attached).
    bool HasEnded() const noexcept;
    // Waits up to dwTimeout ms for the job to return and then forgets it. Returns
    // WAIT_OBJECT_0 (ended, or no job), WAIT_TIMEOUT or WAIT_FAILED.
    DWORD WaitForEnd(DWORD dwTimeout) noexcept;
    // Waits without limit for the job handed, then ends and joins the thread. A later
    // Start makes a new one.
    void Stop() noexcept;

private:
    void Run() noexcept;

    // The thread sleeps on a futex word of its own rather than a condition variable: a
    // write hands a job per block, and the waker then costs one system call, the sleeper
    // one, and no wake for the mutex taken back after a condition wait.
    void WakeRunner() noexcept;
    void WaitForWake() noexcept;

    std::thread m_thread;
    std::atomic<std::uint32_t> m_wakeWord{0};  // 0 idle, 1 woken, 2 the thread sleeps
    // Written by Start while no job is attached, taken by the thread once m_bJobHanded
    // tells it is there: the flag and the end event order the two, no lock is needed.
    std::function<void()> m_job;
    std::atomic<bool> m_bJobHanded{false};
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bAttached{false};
    Event m_evtEnded{true, false};  // the job handed has returned
};
