// kestrum_flasher over DoIP against the simulated ECU (kestrum_ecusim) on loopback.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tool/process_runner.h"

namespace {

const std::string kBin = KESTRUM_BINARY_DIR;
const std::string kFlasher = kBin + "/kestrum_flasher";
const std::string kEcusim = kBin + "/sim/kestrum_ecusim";
const std::string kPkggen = kBin + "/sim/kestrum_pkggen";

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// Waits (bounded) for the child; its exit status, 128 + signal when killed, -1 on timeout.
int WaitFor(ChildGuard& child, std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        const pid_t r = waitpid(child.pid(), &status, WNOHANG);
        if (r == child.pid()) {
            child.release();
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

template <typename F>
bool Eventually(F condition, std::chrono::seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

// A sample package and a simulated ECU on a free loopback port, in a temporary directory.
class Station {
public:
    Station(const std::string& ip, std::vector<std::string> pkgArgs, std::vector<std::string> simArgs) : ip(ip) {
        char pattern[] = "/tmp/kestrum_e2e_XXXXXX";
        if (mkdtemp(pattern) == nullptr) return;
        dir = pattern;
        std::vector<std::string> gen{kPkggen, "-o", dir + "/datflash"};
        gen.insert(gen.end(), pkgArgs.begin(), pkgArgs.end());
        const ProcessResult made = RunProcess(gen, "");
        const auto at = made.out.find("package: ");
        if (made.exitCode != 0 || at == std::string::npos) return;
        const std::string package = made.out.substr(at + 9, made.out.find('\n', at) - at - 9);
        std::vector<std::string> sim{kEcusim,    "--ip",          ip,           "--port",      "0",
                                     "--package", package,       "--port_file", dir + "/ports", "--state_file",
                                     dir + "/ecu.state"};
        sim.insert(sim.end(), simArgs.begin(), simArgs.end());
        ecu = std::make_unique<ChildGuard>(SpawnQuiet(sim));
        Eventually([&] {
            std::ifstream in(dir + "/ports");
            return static_cast<bool>(in >> tcpPort);
        }, std::chrono::seconds(20));
    }
    ~Station() {
        ecu.reset();
        if (!dir.empty()) {
            const std::string command = "rm -rf '" + dir + "'";
            if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
        }
    }
    bool ready() const { return tcpPort != 0; }
    std::string log() const { return dir + "/flash.log"; }
    std::vector<std::string> flasher() const {
        return {kFlasher, "--use_eth", "--target_ip", ip, "--target_port", std::to_string(tcpPort),
                "--datflash_path", dir + "/datflash", "--tester_serial_number", "KSTEST", "--connect_loop", "5",
                "--logfile", log()};
    }

    std::string ip;
    std::string dir;
    std::unique_ptr<ChildGuard> ecu;
    unsigned tcpPort = 0;
};

class DoipFlash : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& program : {kFlasher, kEcusim, kPkggen})
            if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << program << " not built";
    }
};

TEST_F(DoipFlash, FlashesTheSimulatedEcuOverIpv4AndIpv6) {
    for (const char* ip : {"127.0.0.1", "::1"}) {
        Station station(ip, {}, {});
        ASSERT_TRUE(station.ready()) << ip;
        const ProcessResult first = RunProcess(station.flasher(), "", std::chrono::seconds(120));
        const std::string log = ReadFile(station.log());
        EXPECT_EQ(first.exitCode, 0) << ip << "\n" << log;
        EXPECT_NE(log.find("FLASH: *** END (Result 0)"), std::string::npos) << ip;
        EXPECT_NE(log.find("----- Finished -----"), std::string::npos) << ip;
        EXPECT_EQ(log.find("[ERR    ]"), std::string::npos) << ip << "\n" << log;
        if (std::string(ip) == "127.0.0.1") {
            // The same package again: the software is current now.
            const ProcessResult second = RunProcess(station.flasher(), "", std::chrono::seconds(120));
            EXPECT_EQ(second.exitCode, 1) << ReadFile(station.log());
        }
    }
}

TEST_F(DoipFlash, ConnectionLostDuringADownloadIsRestoredAndNeverReportedAsSuccess) {
    Station station("127.0.0.1", {}, {"--drop_after_transfer_data", "3"});
    ASSERT_TRUE(station.ready());
    const ProcessResult run = RunProcess(station.flasher(), "", std::chrono::seconds(180));
    const std::string log = ReadFile(station.log());
    EXPECT_FALSE(run.timedOut) << log;
    EXPECT_NE(run.exitCode, 0) << log;
    EXPECT_NE(log.find("DOIP: Try to restore connection"), std::string::npos) << log;
    EXPECT_EQ(log.find("FLASH: *** END (Result 0)"), std::string::npos) << log;
    EXPECT_NE(log.find("----- Finished -----"), std::string::npos) << log;
}

TEST_F(DoipFlash, SigtermDuringADownloadEndsTheRunWithItsClosingLine) {
    // A 4 MiB data block and a slow ECU: the download lasts long enough to be interrupted.
    Station station("127.0.0.1", {"--extern_size", "4194304"}, {"--answer_delay_ms", "3"});
    ASSERT_TRUE(station.ready());
    ChildGuard flasher(SpawnQuiet(station.flasher()));
    // The data-file block is the last download; SIGTERM goes out as soon as it starts.
    ASSERT_TRUE(Eventually(
        [&] { return ReadFile(station.log()).find("Download DataBlock    StartAddr:   0x00090000") != std::string::npos; },
        std::chrono::seconds(120)))
        << ReadFile(station.log());
    ASSERT_EQ(kill(flasher.pid(), SIGTERM), 0);
    const int status = WaitFor(flasher, std::chrono::seconds(60));
    const std::string log = ReadFile(station.log());
    EXPECT_EQ(status, 15) << log;
    EXPECT_NE(log.find("----- Finished -----"), std::string::npos) << log;
    EXPECT_EQ(log.find("FLASH: *** END (Result 0)"), std::string::npos) << log;
}

}  // namespace
