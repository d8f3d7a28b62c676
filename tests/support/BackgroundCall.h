#pragma once
// A call on a thread of its own, as a second program thread makes it while the test
// acts on the port: its result and the thread's last error once joined.
#include <functional>
#include <thread>

#include "platform/LastError.h"

class BackgroundCall {
public:
    explicit BackgroundCall(std::function<BOOL()> call) {
        m_thread = std::thread([this, call = std::move(call)] {
            bResult = call();
            dwError = GetLastError();
        });
    }
    ~BackgroundCall() { Join(); }
    BackgroundCall(const BackgroundCall&) = delete;
    BackgroundCall& operator=(const BackgroundCall&) = delete;

    void Join() {
        if (m_thread.joinable()) m_thread.join();
    }

    BOOL bResult = FALSE;
    DWORD dwError = 0;

private:
    std::thread m_thread;
};
