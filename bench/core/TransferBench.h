#pragma once
// What the transfer benchmarks (serial, USB, LAN) share: a private system root with the
// log in it, the port opened and read once as an update does before it sends, blocks
// sent as the engine sends them, a plain TCP connection, and a thread that reads and
// drops what arrives so that a benchmark can wait for the bytes it sent.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/UniqueFd.h"
#include "platform/WinError.h"
#include "port/Globals.h"
#include "support/TempDir.h"

namespace bench {

// A temporary system root with var/log, made KELVO_SYSROOT for the process.
class SysRoot {
public:
    SysRoot() {
        std::filesystem::create_directories(m_dir / "var/log");
        ::setenv("KELVO_SYSROOT", m_dir.Path().c_str(), 1);
    }
    const std::string& Path() const { return m_dir.Path(); }

private:
    TempDir m_dir;
};

// Opens the port and reads once, as an update identifies the printer before a transfer,
// so writes no longer drain the reply channel first. FALSE: the benchmark is skipped
// with pszError.
inline bool OpenAndRead(benchmark::State& state, DWORD dwKind, const char* pszName, DWORD cbRead,
                        const char* pszError, HSDK* phSdk) {
    if (!pfnOpenPort(0, dwKind, pszName, phSdk)) {
        state.SkipWithError(pszError);
        return false;
    }
    std::array<BYTE, 64> buf{};
    DWORD cb = 0;
    pfnReadPort(*phSdk, buf.data(), std::min<DWORD>(cbRead, buf.size()), &cb);
    return true;
}

// cbTotal bytes through the port service in calls of cbCall bytes each (the last one
// shorter), each with its own time limit.
inline void WriteInCalls(HSDK h, const BYTE* pData, std::size_t cbTotal, std::size_t cbCall, DWORD dwTimeout) {
    for (std::size_t off = 0; off < cbTotal; off += cbCall) {
        DWORD cb = 0;
        pfnWritePortEx(h, pData + off, static_cast<DWORD>(std::min(cbCall, cbTotal - off)), &cb, dwTimeout);
    }
}

// A TCP connection to address:wPort; empty when it cannot be made.
inline UniqueFd ConnectTcp(const std::string& address, WORD wPort) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(wPort);
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    if (::connect(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) s.Reset();
    return s;
}

// Reads and drops what arrives on fd on a thread of its own, counting the bytes. With
// bListening, fd is a listening socket: one connection at a time is taken and read.
// The fd stays the caller's and must outlive the drain.
class Drain {
public:
    Drain(int fd, bool bListening) : m_fd(fd), m_bListening(bListening) {
        m_thread = std::thread([this] { Run(); });
    }
    ~Drain() {
        m_stop.Set();
        if (m_thread.joinable()) m_thread.join();
    }
    Drain(const Drain&) = delete;
    Drain& operator=(const Drain&) = delete;

    unsigned long long Received() const { return m_cbReceived.load(); }
    // Reads no faster than cbPerSecond from now on, as a printer that takes its data at
    // that rate; 0: as fast as the bytes come.
    void Pace(DWORD cbPerSecond) { m_cbPerSecond.store(cbPerSecond); }
    // Waits until cbTotal bytes have arrived in all. Asleep, not spinning: the waiting
    // must not count as the CPU time of what is measured.
    void WaitFor(unsigned long long cbTotal) const {
        std::unique_lock lock(m_mutex);
        m_cvReceived.wait_for(lock, std::chrono::seconds(60), [&] { return m_cbReceived.load() >= cbTotal; });
    }

private:
    void Run() {
        std::vector<BYTE> buf(1 << 16);
        UniqueFd conn;
        using Clock = std::chrono::steady_clock;
        Clock::time_point tFree = Clock::now();
        for (;;) {
            const int fdRead = m_bListening ? conn.Get() : m_fd;
            std::array items{WaitItem::For(m_stop), WaitItem::ForFd(fdRead >= 0 ? fdRead : m_fd, POLLIN)};
            const bool bWaiting = WaitForAny(items, 0) == WAIT_TIMEOUT;
            if (WaitForAny(items, INFINITE) != WAIT_OBJECT_0 + 1) return;
            if (bWaiting) tFree = std::max(tFree, Clock::now());
            if (fdRead < 0) {
                conn.Reset(::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC));
                continue;
            }
            const DWORD cbPerSecond = m_cbPerSecond.load();
            const std::size_t cbAsk = cbPerSecond != 0 ? kPacedRead : buf.size();
            ssize_t n = ::read(fdRead, buf.data(), cbAsk);
            if (n > 0) {
                // A paced printer has taken the bytes only once their time has passed.
                if (cbPerSecond != 0) {
                    tFree += std::chrono::microseconds(static_cast<unsigned long long>(n) * 1000000ull / cbPerSecond);
                    std::this_thread::sleep_until(tFree);
                }
                {
                    std::lock_guard lock(m_mutex);
                    m_cbReceived += static_cast<unsigned long long>(n);
                }
                m_cvReceived.notify_all();
            } else if (m_bListening) {
                conn.Reset();
            }
        }
    }
    static constexpr std::size_t kPacedRead = 4096;
    const int m_fd;
    const bool m_bListening;
    std::atomic<DWORD> m_cbPerSecond{0};
    Event m_stop{true, false};
    std::atomic<unsigned long long> m_cbReceived{0};
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cvReceived;
    std::thread m_thread;
};

}  // namespace bench
