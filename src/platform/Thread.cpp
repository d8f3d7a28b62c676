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
