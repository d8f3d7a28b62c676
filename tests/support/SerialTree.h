#pragma once
// A serial line for tests: a pty whose slave is published as <root>/dev/<name> with its
// sysfs class entry, and modem lines a test scripts (a pty has none of its own).
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"
#include "port/ComLines.h"
#include "sim/SerialTransport.h"
#include "support/TempDir.h"

// The sysfs entries of a tty of one kind under root (the simulated printer's own).
inline void PublishTtySysfs(const std::string& root, const std::string& name, TtyKind kind, unsigned wVendor = 0x0F0F,
                            bool bUartPresent = true) {
    sim::PublishTtySysfs(root, name, TtyKindName(kind), static_cast<WORD>(wVendor), bUartPresent);
}

// A pty whose slave is reachable as root/dev/name. The master is the printer's end.
class PublishedPty {
public:
    PublishedPty(const std::string& root, const std::string& name) {
        master.Reset(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
        if (!master.Valid() || ::grantpt(master.Get()) != 0 || ::unlockpt(master.Get()) != 0) return;
        slavePath = ::ptsname(master.Get());
        // Raw on both sides from the start, so nothing the driver sends is changed.
        UniqueFd slave(::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios tio{};
        ::tcgetattr(slave.Get(), &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(slave.Get(), TCSANOW, &tio);
        std::filesystem::create_directories(root + "/dev");
        nodePath = root + "/dev/" + name;
        std::error_code ec;
        std::filesystem::remove(nodePath, ec);
        std::filesystem::create_symlink(slavePath, nodePath, ec);
        // Held open so the master never reads EIO before the driver opens.
        m_keep = std::move(slave);
    }
    bool Valid() const { return master.Valid() && !nodePath.empty(); }
    // The printer side reads everything that was sent, until nothing more comes for
    // dwQuietMs (the pty hands bytes over in steps).
    std::string Drain(int nQuietMs = 100) {
        std::string out;
        char buf[4096];
        for (;;) {
            pollfd p{master.Get(), POLLIN, 0};
            if (::poll(&p, 1, nQuietMs) != 1 || (p.revents & POLLIN) == 0) break;
            const ssize_t n = ::read(master.Get(), buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }
    void Send(const std::string& data) { (void)!::write(master.Get(), data.data(), data.size()); }
    // The slave's settings as the driver left them (a pty master reports its slave's).
    termios SlaveTermios() const {
        termios tio{};
        ::tcgetattr(master.Get(), &tio);
        return tio;
    }
    // The line goes away, as an unplugged adapter's does.
    void Vanish() {
        m_keep.Reset();
        master.Reset();
        std::error_code ec;
        std::filesystem::remove(nodePath, ec);
    }

    UniqueFd master;
    std::string slavePath;
    std::string nodePath;

private:
    UniqueFd m_keep;
};

// Modem lines as a test sets them. Output queue and error counters come from the test too.
class ScriptedLines : public IComLines {
public:
    std::atomic<int> bits{TIOCM_DSR | TIOCM_CTS};
    std::atomic<bool> bNoLines{false};
    std::atomic<int> nQueued{0};
    std::atomic<int> nFrame{0};
    std::atomic<int> nBreakOn{0};
    std::atomic<int> nBreakOff{0};
    std::atomic<int> nRaised{0};
    std::atomic<int> nModemReads{0};

    int GetModemBits(int, int* pBits) override {
        ++nModemReads;
        if (bNoLines) {
            errno = ENOTTY;
            return -1;
        }
        *pBits = bits;
        return 0;
    }
    int RaiseModemBits(int, int b) override {
        nRaised |= b;
        return 0;
    }
    int SetBreak(int, bool bOn) override {
        ++(bOn ? nBreakOn : nBreakOff);
        return 0;
    }
    // cdc-acm's count (acm_tty_chars_in_buffer): a whole write buffer, wMaxPacketSize * 20,
    // for every buffer still in flight, however few bytes it holds. When set, what the
    // printer has not yet read from this pty master is counted so.
    std::atomic<int> nAcmMaster{-1};
    static constexpr int kAcmWriteSize = 512 * 20;

    int OutQueue(int, int* pCount) override {
        const int master = nAcmMaster;
        int nUnread = 0;
        // cdc-acm counts a transfer the moment it is submitted, but a pty hands written
        // bytes to the master's read queue from a work item: poll() on the master waits
        // for that hand-over (n_tty_poll flushes the pending buffers), FIONREAD alone may
        // see nothing yet and let a whole image through uncounted.
        if (master >= 0) {
            pollfd pfd{master, POLLIN, 0};
            ::poll(&pfd, 1, 0);
        }
        if (master >= 0 && ::ioctl(master, FIONREAD, &nUnread) == 0) {
            *pCount = (nUnread + kAcmWriteSize - 1) / kAcmWriteSize * kAcmWriteSize;
            return 0;
        }
        *pCount = nQueued;
        return 0;
    }
    int ErrorCounts(int, ComErrorCounts* pCounts) override {
        *pCounts = ComErrorCounts{};
        pCounts->nFrame = nFrame;
        return 0;
    }
};
