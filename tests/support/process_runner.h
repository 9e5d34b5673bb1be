// Runs a program as a child process with the given standard input and collects its exit code
// and outputs. The child is killed by its PID if it outlives the time bound or the test ends.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

struct ProcessResult {
    int exitCode = -1;     // exit status, or -1 when killed
    bool timedOut = false;
    std::string out;
    std::string err;
};

// Ends the child by its PID in every outcome.
class ChildGuard {
public:
    explicit ChildGuard(pid_t pid) : pid_(pid) {}
    ~ChildGuard() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    ChildGuard(const ChildGuard&) = delete;
    ChildGuard& operator=(const ChildGuard&) = delete;
    // The child has been reaped: nothing left to end.
    void release() { pid_ = -1; }
    pid_t pid() const { return pid_; }

private:
    pid_t pid_;
};

inline ProcessResult RunProcess(const std::vector<std::string>& args, const std::string& input,
                                std::chrono::milliseconds bound = std::chrono::seconds(60)) {
    ProcessResult result;
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return result;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ChildGuard guard(pid);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    signal(SIGPIPE, SIG_IGN);
    if (!input.empty()) {
        ssize_t written = write(in[1], input.data(), input.size());
        (void)written;
    }
    close(in[1]);

    const auto deadline = std::chrono::steady_clock::now() + bound;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            result.timedOut = true;
            break;
        }
        if (poll(fds, 2, static_cast<int>(left.count())) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buffer[4096];
            ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& fd : fds) {
        if (fd.fd >= 0) close(fd.fd);
    }
    if (result.timedOut) return result;  // the guard kills and reaps the child
    int status = 0;
    if (waitpid(pid, &status, 0) == pid) {
        guard.release();
        if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    }
    return result;
}

// Starts a program with its outputs discarded; the caller ends it (ChildGuard).
inline pid_t SpawnQuiet(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// A program running in the background for the length of a test (for example the simulated
// ECU), its outputs discarded. Killed and reaped by its PID when the object goes.
class BackgroundProcess {
public:
    explicit BackgroundProcess(const std::vector<std::string>& args) : guard(SpawnQuiet(args)) {}
    pid_t pid() const { return guard.pid(); }

private:
    ChildGuard guard;
};
