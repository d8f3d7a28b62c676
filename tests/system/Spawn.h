#pragma once
// Child processes a test starts and ends itself: a private bus and the mock services.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

class TestProcess {
public:
    TestProcess() = default;
    ~TestProcess() { Stop(); }
    TestProcess(const TestProcess&) = delete;
    TestProcess& operator=(const TestProcess&) = delete;

    // Starts argv[0] (a full path) with the test's environment plus `extraEnv`
    // ("NAME=value"); its stdout goes to stdoutFd (or /dev/null when -1), stderr to /dev/null.
    bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, int stdoutFd = -1) {
        std::vector<std::string> env(extraEnv);
        for (char** p = environ; *p != nullptr; ++p) env.emplace_back(*p);
        std::vector<char*> cargv, cenv;
        for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
        cargv.push_back(nullptr);
        for (const auto& e : env) cenv.push_back(const_cast<char*>(e.c_str()));
        cenv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        if (stdoutFd >= 0)
            posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
        else
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        int r = posix_spawn(&m_pid, cargv[0], &actions, nullptr, cargv.data(), cenv.data());
        posix_spawn_file_actions_destroy(&actions);
        if (r != 0) m_pid = -1;
        return r == 0;
    }

    // True while the child has not ended.
    bool Running() {
        if (m_pid <= 0) return false;
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        return true;
    }

    bool Signal(int nSignal) { return m_pid > 0 && ::kill(m_pid, nSignal) == 0; }

    void Stop() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
    }

private:
    pid_t m_pid = -1;
};
