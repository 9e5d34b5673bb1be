// A flashing station on loopback for end-to-end tests: a generated sample package, the simulated
// ECU (kestrum_ecusim) on free ports, and the command line of kestrum_flasher against it, all in
// one temporary directory that is removed afterwards. Every child is ended by its PID.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/free_port.h"
#include "support/process_runner.h"

namespace e2e {

const std::string kBin = KESTRUM_BINARY_DIR;
const std::string kFlasher = kBin + "/kestrum_flasher";
const std::string kEcusim = kBin + "/sim/kestrum_ecusim";
const std::string kPkggen = kBin + "/sim/kestrum_pkggen";

using testsupport::readFile;
using testsupport::waitUntil;

inline size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
    return n;
}

// Skips a test when one of the programs it runs has not been built.
class ProgramsBuilt : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& program : {kFlasher, kEcusim, kPkggen})
            if (access(program.c_str(), X_OK) != 0) GTEST_SKIP() << program << " not built";
    }
};

class Station {
public:
    // Generates the package; starts the ECU at once unless startNow is false.
    Station(const std::string& ip, std::vector<std::string> pkgArgs, std::vector<std::string> simArgs,
            bool startNow = true)
        : ip(ip), dir(tmp_.path()), simArgs_(std::move(simArgs)) {
        std::vector<std::string> gen{kPkggen, "-o", dir + "/datflash"};
        gen.insert(gen.end(), pkgArgs.begin(), pkgArgs.end());
        const ProcessResult made = RunProcess(gen, "");
        const auto at = made.out.find("package: ");
        if (made.exitCode != 0 || at == std::string::npos) return;
        package_ = made.out.substr(at + 9, made.out.find('\n', at) - at - 9);
        // "block: <name> address 0x... size <n> sha256 <hex>"
        std::istringstream lines(made.out);
        for (std::string line; std::getline(lines, line);) {
            const auto sha = line.find(" sha256 ");
            if (line.rfind("block: ", 0) == 0 && sha != std::string::npos) blockDigests.push_back(line.substr(sha + 8));
        }
        if (startNow) startEcu("0");
    }
    // The ECU is ended (by its PID) before the directory goes.
    ~Station() { ecu.reset(); }

    // Starts the simulated ECU on this TCP port ("0": a free one) and waits until it listens.
    bool startEcu(const std::string& port) {
        if (package_.empty()) return false;
        std::remove((dir + "/ports").c_str());
        std::vector<std::string> sim{kEcusim,      "--ip",          ip,         "--port",       port,
                                     "--udp_port", "0",             "--package", package_,      "--port_file",
                                     dir + "/ports", "--state_file", dir + "/ecu.state", "--report", report()};
        sim.insert(sim.end(), simArgs_.begin(), simArgs_.end());
        ecu = std::make_unique<testsupport::ChildProcess>(sim, dir + "/ecusim.out", dir + "/ecusim.err");
        return waitUntil([&] {
            std::ifstream in(dir + "/ports");
            return static_cast<bool>(in >> tcpPort);
        }, std::chrono::seconds(20));
    }
    // Ends the ECU with SIGTERM so that it writes its report; the report's text.
    std::string stopEcu() {
        if (ecu) {
            ecu->signal(SIGTERM);
            ecu->wait(std::chrono::seconds(20));
            ecu.reset();
        }
        return readFile(report());
    }

    bool ready() const { return tcpPort != 0; }
    std::string log() const { return dir + "/flash.log"; }
    std::string report() const { return dir + "/report.json"; }
    std::vector<std::string> flasher(std::vector<std::string> extra = {}) const {
        std::vector<std::string> args{kFlasher, "--use_eth", "--target_ip", ip, "--target_port", std::to_string(tcpPort),
                                      "--datflash_path", dir + "/datflash", "--tester_serial_number", "KSTEST",
                                      "--connect_loop", "5", "--logfile", log()};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    // Starts the flasher in the background (its outputs go to files in the directory).
    std::unique_ptr<testsupport::ChildProcess> spawnFlasher(std::vector<std::string> extra = {}) const {
        return std::make_unique<testsupport::ChildProcess>(flasher(std::move(extra)), dir + "/flasher.out",
                                                           dir + "/flasher.err");
    }
    // Every block of the package arrived whole (its SHA-256 digest) and passed the ECU's check.
    bool allBlocksVerified(const std::string& reportText) const {
        if (blockDigests.empty()) return false;
        for (const std::string& digest : blockDigests)
            if (reportText.find("\"sha256\": \"" + digest + "\", \"check\": \"ok\"") == std::string::npos) return false;
        return true;
    }

private:
    testsupport::TempDir tmp_;

public:
    std::string ip;
    std::string dir;
    std::unique_ptr<testsupport::ChildProcess> ecu;
    unsigned tcpPort = 0;
    std::vector<std::string> blockDigests;

private:
    std::vector<std::string> simArgs_;
    std::string package_;
};

}  // namespace e2e
