#pragma once
// A pseudo-terminal for one test: the program side is a real terminal (isatty), the
// test reads and types on the other side.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "platform/UniqueFd.h"

class TestPty {
public:
    TestPty() {
        int master = -1, slave = -1;
        termios raw{};
        cfmakeraw(&raw);  // no echo, no line-end translation: bytes arrive as written
        if (::openpty(&master, &slave, nullptr, &raw, nullptr) == 0) {
            m_master.Reset(master);
            m_slave.Reset(slave);
        }
    }
    bool Ok() const { return m_master.Valid() && m_slave.Valid(); }
    int Terminal() const { return m_slave.Get(); }  // the program's side
    int Master() const { return m_master.Get(); }   // the test's side
    void Type(const std::string& text) const { (void)!::write(m_master.Get(), text.data(), text.size()); }
    // Everything written to the terminal so far (reads until nothing more is pending).
    std::string Drain() const {
        std::string out;
        for (;;) {
            pollfd p{m_master.Get(), POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0) return out;
            char buffer[4096];
            ssize_t n = ::read(m_master.Get(), buffer, sizeof buffer);
            if (n <= 0) return out;
            out.append(buffer, static_cast<std::size_t>(n));
        }
    }

private:
    UniqueFd m_master;
    UniqueFd m_slave;
};

// A pipe whose read end collects what a non-terminal output receives.
class TestPipe {
public:
    TestPipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            m_read.Reset(fds[0]);
            m_write.Reset(fds[1]);
        }
    }
    int ReadEnd() const { return m_read.Get(); }
    int WriteEnd() const { return m_write.Get(); }
    void CloseWriteEnd() { m_write.Reset(); }
    std::string Drain() const {
        std::string out;
        for (;;) {
            pollfd p{m_read.Get(), POLLIN, 0};
            if (::poll(&p, 1, 0) <= 0 || (p.revents & POLLIN) == 0) return out;
            char buffer[4096];
            ssize_t n = ::read(m_read.Get(), buffer, sizeof buffer);
            if (n <= 0) return out;
            out.append(buffer, static_cast<std::size_t>(n));
        }
    }

private:
    UniqueFd m_read;
    UniqueFd m_write;
};
