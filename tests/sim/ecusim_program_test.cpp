// kestrum_ecusim as a program: DoIP on loopback with a free port, report and state file
// written when SIGTERM ends it, and the state file read back by a second run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "temp_dir.h"

namespace {

// Runs a program; kills it by its PID when the test ends, whatever happened.
class Process {
public:
    explicit Process(std::vector<std::string> args) {
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Process() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // Sends SIGTERM and returns the exit status (-1 when it did not end within 10 s).
    int terminate() {
        kill(pid_, SIGTERM);
        return wait();
    }
    // Waits for the exit status (-1 when it did not end within 10 s).
    int wait() {
        for (int i = 0; i < 1000; ++i) {
            int st = 0;
            if (waitpid(pid_, &st, WNOHANG) == pid_) {
                reaped_ = true;
                return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return -1;
    }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

std::string slurp(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Waits (up to 10 s) for the port file and returns the TCP port.
int waitForPort(const std::string& file) {
    for (int i = 0; i < 1000; ++i) {
        std::ifstream f(file);
        int tcp = 0;
        if (f >> tcp && tcp > 0) return tcp;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

// One routing activation and one ReadDataByIdentifier; returns the UDS answer as hex.
std::string readDid(int port, uint8_t hi, uint8_t lo) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    std::string out;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const uint8_t ra[] = {0x02, 0xFD, 0x00, 0x05, 0, 0, 0, 7, 0x0E, 0x80, 0, 0, 0, 0, 0};
        const uint8_t dm[] = {0x02, 0xFD, 0x80, 0x01, 0, 0, 0, 7, 0x0E, 0x80, 0x10, 0x14, 0x22, hi, lo};
        send(fd, ra, sizeof ra, 0);
        send(fd, dm, sizeof dm, 0);
        // routing response (17 bytes), ack (8 + 8 bytes), answer
        std::vector<uint8_t> buf;
        uint8_t tmp[512];
        for (int i = 0; i < 100; ++i) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) != 1) continue;
            const ssize_t n = recv(fd, tmp, sizeof tmp, 0);
            if (n <= 0) break;
            buf.insert(buf.end(), tmp, tmp + n);
            if (buf.size() >= 17 + 16 + 12) {
                const size_t at = 17 + 16;
                const uint32_t len = uint32_t(buf[at + 4]) << 24 | uint32_t(buf[at + 5]) << 16 | uint32_t(buf[at + 6]) << 8 | buf[at + 7];
                if (buf.size() >= at + 8 + len) {
                    static const char* d = "0123456789ABCDEF";
                    for (size_t k = at + 12; k < at + 8 + len; ++k) {
                        out += d[buf[k] >> 4];
                        out += d[buf[k] & 15];
                    }
                    break;
                }
            }
        }
    }
    close(fd);
    return out;
}

}  // namespace

TEST(SimEcusimProgram, ServesReportsAndKeepsItsState) {
    simtest::TempDir dir;
    const std::string bin = KESTRUM_BINARY_DIR "/sim/kestrum_ecusim";
    const std::string ports = dir.path() + "/ports", report = dir.path() + "/report.json", state = dir.path() + "/state";
    {
        Process p({bin, "--port", "0", "--port_file", ports, "--report", report, "--state_file", state, "--sw_version",
                   "0330"});
        const int port = waitForPort(ports);
        ASSERT_GT(port, 0);
        EXPECT_EQ(readDid(port, 0xF1, 0x89), "62F18930333330");
        EXPECT_EQ(p.terminate(), 0);
    }
    const std::string json = slurp(report);
    EXPECT_NE(json.find("\"request\": \"22F189\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"software_version\": \"0330\""), std::string::npos);
    EXPECT_NE(slurp(state).find("software_version=0330"), std::string::npos);

    // A second run takes the software version from the state file, not from its default.
    unlink(ports.c_str());
    Process p({bin, "--port", "0", "--port_file", ports, "--state_file", state});
    const int port = waitForPort(ports);
    ASSERT_GT(port, 0);
    EXPECT_EQ(readDid(port, 0xF1, 0x89), "62F18930333330");
    EXPECT_EQ(p.terminate(), 0);
}

TEST(SimEcusimProgram, RejectsBadOptions) {
    const std::string bin = KESTRUM_BINARY_DIR "/sim/kestrum_ecusim";
    for (std::vector<std::string> args : {std::vector<std::string>{bin, "--sa2_program", "XYZ"},
                                          std::vector<std::string>{bin, "--ram_region", "12"},
                                          std::vector<std::string>{bin, "--block_versions", "12345"},
                                          std::vector<std::string>{bin, "--package", "/nonexistent.pdx"}}) {
        Process p(args);
        EXPECT_EQ(p.wait(), 2) << args[1];
    }
}

TEST(SimEcusimProgram, FlasherParsesTheGeneratedPackage) {
    struct Case {
        const char* what;
        std::vector<std::string> options;
        const char* pattern;
    } cases[] = {
        {"default package", {}, "FL_.*"},
        {"series key variant, signature-only check memory", {"--key_type", "1", "--vw80126_version", "2.0.0"}, "FL_.*_S.odx-f"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        simtest::TempDir dir;
        std::vector<std::string> gen{KESTRUM_BINARY_DIR "/sim/kestrum_pkggen", "-o", dir.path() + "/datflash"};
        gen.insert(gen.end(), c.options.begin(), c.options.end());
        Process g(gen);
        ASSERT_EQ(g.wait(), 0);
        Process f({KESTRUM_BINARY_DIR "/kestrum_flasher", "--test_odx_file", c.pattern, "--datflash_path", dir.path() + "/datflash",
                   "--logfile", dir.path() + "/flasher.log"});
        EXPECT_EQ(f.wait(), 0) << slurp(dir.path() + "/flasher.log");
        const std::string log = slurp(dir.path() + "/flasher.log");
        EXPECT_NE(log.find("FLASH: Test File okay"), std::string::npos);
        EXPECT_EQ(log.find("[ERR"), std::string::npos) << log;
    }
}
