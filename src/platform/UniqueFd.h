#pragma once
// Owns one file descriptor; closes it on every path.
#include <unistd.h>

#include <utility>

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : m_fd(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const noexcept { return m_fd; }
    bool Valid() const noexcept { return m_fd >= 0; }
    explicit operator bool() const noexcept { return Valid(); }
    int Release() noexcept { return std::exchange(m_fd, -1); }
    void Reset(int fd = -1) noexcept {
        int old = std::exchange(m_fd, fd);
        if (old >= 0) ::close(old);
    }

private:
    int m_fd = -1;
};
