#pragma once
// Network namespaces a test makes for itself (root only): broadcasts and extra addresses
// stay inside them and never reach the machine's own networks.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <utility>

class TestNetns {
public:
    explicit TestNetns(const std::string& tag)
        : m_name("kelvo-" + std::to_string(::getpid()) + "-" + tag) {
        m_ok = ::geteuid() == 0 && Shell("ip netns add " + m_name) && Ip("link set lo up");
    }
    ~TestNetns() {
        if (m_ok) Shell("ip netns del " + m_name);
    }
    TestNetns(const TestNetns&) = delete;
    TestNetns& operator=(const TestNetns&) = delete;

    bool Ok() const { return m_ok; }
    const std::string& Name() const { return m_name; }
    // "ip -n <this namespace> <args>"
    bool Ip(const std::string& args) const { return Shell("ip -n " + m_name + " " + args); }

    // Runs fn on a thread that has entered this namespace (sockets it makes, and
    // threads it starts, live there) and waits for it.
    template <class F>
    bool RunInside(F&& fn) const {
        bool entered = false;
        std::thread t([&] {
            int fd = ::open(("/run/netns/" + m_name).c_str(), O_RDONLY | O_CLOEXEC);
            entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
            if (fd >= 0) ::close(fd);
            if (entered) fn();
        });
        t.join();
        return entered;
    }

    static bool Shell(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

private:
    std::string m_name;
    bool m_ok = false;
};

// Two namespaces joined by a veth pair: "near" (the program) and "far" (the printers).
// Interface names carry the pid, as tests of several processes may make pairs at once.
struct TestNetnsPair {
    TestNetns near{"near"};
    TestNetns far{"far"};
    std::string nearIf = "kn" + std::to_string(::getpid());
    std::string farIf = "kf" + std::to_string(::getpid());
    bool ok = false;
    TestNetnsPair() {
        ok = near.Ok() && far.Ok() &&
             TestNetns::Shell("ip link add " + nearIf + " netns " + near.Name() + " type veth peer name " + farIf +
                              " netns " + far.Name()) &&
             near.Ip("link set " + nearIf + " up") && far.Ip("link set " + farIf + " up");
    }
};
