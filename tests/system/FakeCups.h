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
    explicit FakeCups(std::vector<std::string> deviceUris);
    ~FakeCups();
    FakeCups(const FakeCups&) = delete;
    FakeCups& operator=(const FakeCups&) = delete;

    bool Ok() const { return m_thread.joinable(); }
    // Requests answered so far.
    int Requests() const { return m_nRequests.load(); }

private:
    void Serve();
    void Answer(int fd);

    std::vector<std::string> m_uris;
    UniqueFd m_listen;
    Event m_stop;
    std::atomic<int> m_nRequests{0};
    std::thread m_thread;
};

// A server that takes each connection and hangs up at once: no request is ever
// answered, and every attempt to reach the server is counted. CUPS_SERVER points at it
// while the object lives.
class HangUpCups {
public:
    HangUpCups();
    ~HangUpCups();
    HangUpCups(const HangUpCups&) = delete;
    HangUpCups& operator=(const HangUpCups&) = delete;

    bool Ok() const { return m_thread.joinable(); }
    int Connections() const { return m_nConnections.load(); }

private:
    UniqueFd m_listen;
    Event m_stop;
    std::atomic<int> m_nConnections{0};
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
