#pragma once
// A worker thread whose end can be waited for with a time limit.
#include <functional>
#include <memory>
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
