// kestrum_flasher as a program flashing kestrum_ecusim over DoIP on loopback: a sample
// package is flashed (exit 0), then found current (exit 1); the simulated ECU's report
// shows the programming it saw.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/pkggen/pkggen.h"
#include "support/process_runner.h"

extern char** environ;

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The simulated ECU running in the background, ended by its PID when the object goes
// (SIGTERM first, so that it writes its report).
class Process {
public:
    Process(const std::vector<std::string>& args, const std::string& output) {
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Process() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            if (wait(std::chrono::seconds(5)) < 0 && pid_ > 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
            }
        }
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return pid_ > 0; }
    bool running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        return true;
    }
    // Exit code once the program ended within the limit, -1 otherwise.
    int wait(std::chrono::seconds limit) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (pid_ > 0) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() > deadline) return -1;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
};

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/kestrum_e2e_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() {
        const std::string cmd = "rm -rf '" + path + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
};

bool executable(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

TEST(SeqE2e, FlasherFlashesTheSimulatedEcuOverDoip) {
    const std::string bin = KESTRUM_BINARY_DIR;
    const std::string flasher = bin + "/kestrum_flasher";
    const std::string ecusim = bin + "/sim/kestrum_ecusim";
    ASSERT_TRUE(executable(flasher) && executable(ecusim)) << "build kestrum_flasher and kestrum_ecusim first";

    TempDir tmp;
    ecusim::pkggen::PackageOptions options;
    options.outDir = tmp.path + "/datflash";
    const auto pkg = ecusim::pkggen::generate(options);

    const std::string ports = tmp.path + "/ports";
    const std::string report = tmp.path + "/report.json";
    auto sim = std::make_unique<Process>(std::vector<std::string>{ecusim, "--ip", "127.0.0.1", "--port", "0", "--port_file", ports, "--package", pkg.pdxPath,
                 "--report", report},
                tmp.path + "/ecusim.log");
    ASSERT_TRUE(sim->started());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (slurp(ports).empty() && sim->running() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::string portText = slurp(ports);
    ASSERT_FALSE(portText.empty()) << slurp(tmp.path + "/ecusim.log");
    const std::string tcpPort = portText.substr(0, portText.find(' '));

    struct Run {
        int exitCode;
        const char* banner;
    };
    const Run runs[] = {{0, "     ***   Programming Okay   ***"}, {1, "     ***   FINISHED: Software is Current!  ***"}};
    int n = 0;
    for (const auto& run : runs) {
        SCOPED_TRACE(run.banner);
        const std::string log = tmp.path + "/flash" + std::to_string(++n) + ".log";
        const ProcessResult flash =
            RunProcess({flasher, "--use_eth", "--target_ip", "127.0.0.1", "--target_port", tcpPort, "--datflash_path",
                        options.outDir, "--tester_serial_number", "E2E001", "--connect_loop", "5",
                        "--logfile", log},
                       "", std::chrono::seconds(120));
        EXPECT_FALSE(flash.timedOut);
        EXPECT_EQ(run.exitCode, flash.exitCode) << slurp(log);
        const std::string text = slurp(log);
        EXPECT_NE(text.find(run.banner), std::string::npos) << text;
        char end[80];
        std::snprintf(end, sizeof end, "FLASH: *** END (Result %d) ****", run.exitCode);
        EXPECT_NE(text.find(end), std::string::npos);
        EXPECT_NE(text.find("----- Finished -----"), std::string::npos);
    }

    // The simulated ECU writes its report when it ends.
    sim.reset();
    const std::string json = slurp(report);
    for (const auto& block : pkg.blocks) EXPECT_NE(json.find(block.sha256), std::string::npos) << block.id;
    EXPECT_NE(json.find("453245303031"), std::string::npos);  // tester serial E2E001
}

}  // namespace
