#pragma once
// usblp's write side, as strict as the driver: a non-blocking write returns while its
// transfer is still under way, the descriptor is writable again only once the transfer
// has ended, and the last close cancels a transfer still under way (usblp_poll's
// wcomplete, usblp_release's unlink of the URBs). A pty cannot show this (it is writable
// while its buffer has room, and keeps what was written after the close), so lpN is a
// FIFO of one page here: writable only when empty. The printer's end reads at its pace;
// what is still in the pipe when the host's last descriptor closes is cancelled, never
// delivered.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Types.h"
#include "platform/UniqueFd.h"

class UsblpWrites {
public:
    // Replaces root/dev/usb/lpN (published with its sysfs entries) by the FIFO.
    UsblpWrites(const std::string& root, unsigned nLp, DWORD dwBytesPerSecond) : m_dwRate(dwBytesPerSecond) {
        const std::string node = root + "/dev/usb/lp" + std::to_string(nLp);
        std::error_code ec;
        std::filesystem::remove(node, ec);
        if (::mkfifo(node.c_str(), 0600) != 0) return;
        m_fd.Reset(::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!m_fd || ::fcntl(m_fd.Get(), F_SETPIPE_SZ, 4096) < 0) {
            m_fd.Reset();
            return;
        }
        m_thread = std::thread([this] { Serve(); });
    }
    ~UsblpWrites() {
        m_bStop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    UsblpWrites(const UsblpWrites&) = delete;
    UsblpWrites& operator=(const UsblpWrites&) = delete;

    bool Ok() const { return m_fd.Valid(); }
    // What the printer received, and what the close cancelled.
    std::vector<BYTE> Received() const {
        std::lock_guard lock(m_mutex);
        return m_received;
    }
    std::size_t Cancelled() const { return m_cbCancelled.load(); }
    // The host's last descriptor has closed at least once.
    bool Closed() const { return m_bClosed.load(); }

private:
    void Serve() {
        BYTE buf[4096];
        while (!m_bStop) {
            pollfd p{m_fd.Get(), POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            int cbQueued = 0;
            if ((p.revents & POLLIN) != 0 && ::ioctl(m_fd.Get(), FIONREAD, &cbQueued) == 0 && cbQueued > 0) {
                // The transfer of what is queued takes its time at the printer's pace.
                const DWORD dwMs = static_cast<DWORD>(static_cast<ULONGLONG>(cbQueued) * 1000 / m_dwRate);
                ::usleep(1000 * (dwMs < 2 ? 2 : dwMs));
                pollfd again{m_fd.Get(), POLLIN, 0};
                ::poll(&again, 1, 0);
                const std::size_t cbTake = static_cast<std::size_t>(cbQueued) < sizeof buf ? cbQueued : sizeof buf;
                // Held across the read: the host may see the pipe empty (its transfer
                // ended) and ask what arrived before this thread has noted it.
                std::lock_guard lock(m_mutex);
                const ssize_t n = ::read(m_fd.Get(), buf, cbTake);
                if (n <= 0) continue;
                if ((again.revents & POLLHUP) != 0) {
                    m_cbCancelled += static_cast<std::size_t>(n);
                    m_bClosed = true;
                    continue;
                }
                m_received.insert(m_received.end(), buf, buf + n);
                continue;
            }
            if ((p.revents & POLLHUP) != 0) {
                m_bClosed = true;
                ::usleep(2000);
            }
        }
    }

    DWORD m_dwRate;
    UniqueFd m_fd;
    std::thread m_thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bClosed{false};
    std::atomic<std::size_t> m_cbCancelled{0};
    mutable std::mutex m_mutex;
    std::vector<BYTE> m_received;
};
