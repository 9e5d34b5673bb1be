// kestrum_flasher --test_odx_file run as a child process against a flash-file tree.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>

#include "odx/odx_test_support.h"

using namespace odxtest;

namespace {

// Ends the child by its PID if it is still running when the guard goes.
class ChildGuard {
public:
    explicit ChildGuard(pid_t pid) : pid_(pid) {}
    ~ChildGuard() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void reaped() { pid_ = -1; }

private:
    pid_t pid_;
};

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

RunResult runFlasher(const std::vector<std::string>& args) {
    RunResult r;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        ADD_FAILURE() << "pipe";
        return r;
    }
    std::vector<std::string> all = {KESTRUM_BINARY_DIR "/kestrum_flasher"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        close(outPipe[0]);
        close(errPipe[0]);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ChildGuard guard(pid);
    close(outPipe[1]);
    close(errPipe[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < deadline) {
        if (poll(fds, 2, 1000) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds) {
        if (f.fd >= 0) close(f.fd);
    }
    EXPECT_EQ(open, 0) << "kestrum_flasher did not finish in time";
    if (open > 0) return r;
    int status = 0;
    if (waitpid(pid, &status, 0) == pid) {
        guard.reaped();
        if (WIFEXITED(status)) r.exitCode = WEXITSTATUS(status);
    }
    return r;
}

class TestOdxFileRun : public ::testing::Test {
protected:
    fs::path root() const { return tmp.path() / "datflash"; }
    RunResult run(const std::string& name) {
        return runFlasher({"--test_odx_file", name, "--datflash_path", root().string()});
    }
    TempDir tmp;
};

}  // namespace

TEST_F(TestOdxFileRun, DumpsTheCommandListOfAFileInAnArchive) {
    writeZip(root() / "incoming" / "Cluster.pdx",
             {{"FL_5G0920320A_0221.odx-f", fixture("flash_session.odx-f")},
              {"EV_ClusterUDS_001.odx", fixture("layer_cluster.odx")}});
    const RunResult r = run("FL_5G0920320A_0221.odx-f");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find(" [KSTRMF] FLASH: Test File okay\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" [KSTRMF] ODX: 1) DOWNLOAD\n"), std::string::npos);
    EXPECT_NE(r.out.find(" [KSTRMF] ODX: 10)  FINISH\n"), std::string::npos);
    EXPECT_NE(r.out.find(" [KSTRMF] ODX: Block 00 Version 0221 BytePos:11 (OI_VWLogicSoftwBlockVersi_App)\n"),
              std::string::npos);
    // Nothing besides the log: no library warnings on stdout or stderr.
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_NE(line.find(" [KSTRMF] "), std::string::npos) << line;
    }
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::is_regular_file(root() / "Unpacked" / "Cluster.pdx" / "FL_5G0920320A_0221.odx-f"));
}

TEST_F(TestOdxFileRun, FileProblemsEndWithExitCode4) {
    writeZip(root() / "Cluster.pdx", {{"FL_5G0920320A_0221.odx-f", fixture("flash_session.odx-f")}});
    writeFile(root() / "broken" / "FL_5G0920320A_0222.odx-f", "<ODX><FLASH>");
    writeFile(root() / "copy" / "FL_5G0920320A_0221.odx-f", fixture("flash_session.odx-f"));
    struct Case {
        const char* name;
        const char* line;
    } cases[] = {
        {"FL_NOTHERE.*", " [KSTRMF] ODX: Did not find any files\n"},
        {"FL_5G0920320A_0221.odx-f", " [KSTRMF] ODX: Found more than one file\n"},
        {"FL_5G0920320A_0222.odx-f", " [KSTRMF] ODX: Cannot open ODX File \""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const RunResult r = run(c.name);
        EXPECT_EQ(r.exitCode, 4);
        EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("FLASH: Test File okay"), std::string::npos);
    }
}
