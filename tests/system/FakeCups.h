#pragma once
// A CUPS server on a loopback address that answers CUPS-Get-Printers with a fixed list
// of queues; CUPS_SERVER points at it while the object lives.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"
#include "platform/UniqueFd.h"

class FakeCups {
public:
    // bRefuseAll: every request gets "400 Bad Request" (a server that never gives an
    // answer the program can use), counted by Refused().
    explicit FakeCups(std::vector<std::string> deviceUris, bool bRefuseAll = false);
    ~FakeCups();
    FakeCups(const FakeCups&) = delete;
    FakeCups& operator=(const FakeCups&) = delete;

    bool Ok() const { return m_thread.joinable(); }
    // Requests answered so far.
    int Requests() const { return m_nRequests.load(); }
    // Requests refused so far (bRefuseAll).
    int Refused() const { return m_nRefused.load(); }

private:
    void Serve();
    void Answer(int fd);

    std::vector<std::string> m_uris;
    bool m_bRefuseAll;
    UniqueFd m_listen;
    Event m_stop;
    std::atomic<int> m_nRequests{0};
    std::atomic<int> m_nRefused{0};
    std::thread m_thread;
};

// A loopback port that refuses connections (bound, never listening), or with bListen one
// that takes connections into its backlog and never answers; CUPS_SERVER points at it
// while the object lives.
class ClosedCups {
public:
    explicit ClosedCups(bool bListen = false);
    ~ClosedCups();
    ClosedCups(const ClosedCups&) = delete;
    ClosedCups& operator=(const ClosedCups&) = delete;

private:
    UniqueFd m_fd;
};
