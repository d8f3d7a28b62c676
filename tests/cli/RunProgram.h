#pragma once
// Runs a program as a child with its own environment and working folder and collects
// what it writes, for tests of whole programs.
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <thread>
#include <string>
#include <vector>

#include "platform/UniqueFd.h"

extern char** environ;

struct ProgramResult {
    int nStatus = -1;  // exit status; 128 + signal when a signal ended it; -1: not run
    std::string out;
    std::string err;   // stderr, or what the terminal showed when stderr was one
};

// argv[0] is the program's path. env entries replace or add variables; an empty value
// removes one. stdin is /dev/null. With fdErrTarget (a pty's program side, say), stderr
// is that fd, and err collects what fdErrReader (the pty's other side; -1: none) shows.
// Waits for
// the end (the program's own limits apply). whileRunning, when given, runs on a thread
// of its own with the child's pid as soon as it has started (to signal it).
inline ProgramResult RunProgram(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
                                const std::string& cwd, int fdErrTarget = -1, int fdErrReader = -1,
                                const std::function<void(pid_t)>& whileRunning = {}) {
    ProgramResult result;
    std::vector<std::string> envText;
    for (char** pp = environ; *pp != nullptr; ++pp) {
        std::string entry = *pp;
        std::string name = entry.substr(0, entry.find('='));
        if (env.count(name) == 0) envText.push_back(entry);
    }
    for (const auto& [name, value] : env) {
        if (!value.empty()) envText.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (std::string& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);

    int outPipe[2], errPipe[2];
    if (::pipe2(outPipe, O_CLOEXEC) != 0) return result;
    UniqueFd outRead(outPipe[0]), outWrite(outPipe[1]);
    if (::pipe2(errPipe, O_CLOEXEC) != 0) return result;
    UniqueFd errRead(errPipe[0]), errWrite(errPipe[1]);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, outWrite.Get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&fa, fdErrTarget >= 0 ? fdErrTarget : errWrite.Get(), STDERR_FILENO);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    pid_t pid = -1;
    int err = ::posix_spawn(&pid, args[0].c_str(), &fa, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (err != 0) return result;
    outWrite.Reset();
    errWrite.Reset();
    std::thread helper;
    if (whileRunning) helper = std::thread(whileRunning, pid);

    // The terminal never reports an end (this process holds its other side too): it is
    // read while the pipes are open, and drained when they have closed.
    if (fdErrTarget >= 0) errRead.Reset();
    pollfd fds[3] = {{outRead.Get(), POLLIN, 0}, {errRead.Get(), POLLIN, 0}, {fdErrReader, POLLIN, 0}};
    std::string* sinks[3] = {&result.out, &result.err, &result.err};
    int nOpen = fdErrTarget >= 0 ? 1 : 2;
    while (nOpen > 0) {
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 3; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                if (i < 2) --nOpen;
            }
        }
    }
    for (pollfd p{fdErrReader, POLLIN, 0}; fdErrReader >= 0 && ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);) {
        char buffer[4096];
        ssize_t n = ::read(fdErrReader, buffer, sizeof buffer);
        if (n <= 0) break;
        result.err.append(buffer, static_cast<std::size_t>(n));
    }
    // Joined before the child is reaped: until then its pid cannot name another process.
    if (helper.joinable()) helper.join();
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.nStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}
