// Test helpers for process-level tests: a temporary directory, a child process started with
// posix_spawn whose standard output and error go to files, and bounded waits.
// Every child is killed by its PID and reaped when its guard goes out of scope.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace testsupport {

// Waits until cond() is true, checking every few milliseconds; false once `bound` has passed.
inline bool waitUntil(const std::function<bool()>& cond, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        if (cond()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// Splits a text into lines; a trailing line end does not start another line.
inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// A fresh directory below the system's temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "kestrum-test-XXXXXX").string();
        if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = templ;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// One child process: standard input from /dev/null, standard output and error into files.
class ChildProcess {
public:
    // `env` entries are added to (or replace those of) the test's own environment.
    ChildProcess(const std::vector<std::string>& argv, const std::string& stdoutPath, const std::string& stderrPath,
                 const std::map<std::string, std::string>& env = {})
        : stdoutPath_(stdoutPath), stderrPath_(stderrPath) {
        std::vector<std::string> envStrings;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry(*e);
            const std::string key = entry.substr(0, entry.find('='));
            if (env.count(key) == 0) envStrings.push_back(entry);
        }
        for (const auto& kv : env) envStrings.push_back(kv.first + "=" + kv.second);

        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        std::vector<char*> envp;
        for (auto& e : envStrings) envp.push_back(e.data());
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::runtime_error(std::string("posix_spawn ") + argv[0] + ": " + std::strerror(rc));
    }
    ~ChildProcess() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            int st = 0;
            waitpid(pid_, &st, 0);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const { kill(pid_, sig); }

    // Waits for the child to end; false (child killed) if it is still running after `bound`.
    bool wait(std::chrono::milliseconds bound = std::chrono::milliseconds(20000)) {
        if (reaped_) return true;
        const bool ended = waitUntil(
            [this] {
                const pid_t r = waitpid(pid_, &status_, WNOHANG);
                return r == pid_ || r < 0;
            },
            bound);
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status_, 0);
        }
        reaped_ = true;
        return ended;
    }
    bool exited() const { return reaped_ && WIFEXITED(status_); }
    int exitCode() const { return exited() ? WEXITSTATUS(status_) : -1; }
    int termSignal() const { return reaped_ && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0; }

    std::string out() const { return readFile(stdoutPath_); }
    std::string err() const { return readFile(stderrPath_); }

    // Waits until the child's standard output or error holds `text`.
    bool waitForOutput(const std::string& text, bool onStderr = false,
                       std::chrono::milliseconds bound = std::chrono::milliseconds(20000)) const {
        return waitUntil([&] { return (onStderr ? err() : out()).find(text) != std::string::npos; }, bound);
    }

private:
    pid_t pid_ = -1;
    int status_ = 0;
    bool reaped_ = false;
    std::string stdoutPath_;
    std::string stderrPath_;
};

}  // namespace testsupport
