// quorvel against the simulated ECU (kestrum_ecusim) on loopback.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "support/free_port.h"
#include "support/process_runner.h"

namespace {

const std::string kQuorvel = std::string(KESTRUM_BINARY_DIR) + "/quorvel";
const std::string kEcusim = std::string(KESTRUM_BINARY_DIR) + "/sim/kestrum_ecusim";

// One simulated ECU on free loopback ports for the length of a test.
class Ecusim {
public:
    explicit Ecusim(std::vector<std::string> extra = {}, std::string address = "127.0.0.1") : ip(std::move(address)) {
        char pattern[] = "/tmp/quorvel_sim_XXXXXX";
        if (mkdtemp(pattern) != nullptr) dir = pattern;
        portFile = dir + "/ports";
        std::vector<std::string> args{kEcusim, "--ip", ip, "--port", "0", "--port_file", portFile};
        args.insert(args.end(), extra.begin(), extra.end());
        process = std::make_unique<BackgroundProcess>(args);
        // The simulator writes the file once it listens; wait for it with a generous bound.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            std::ifstream in(portFile);
            if (in >> tcpPort >> udpPort) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Ecusim() {
        process.reset();
        std::remove(portFile.c_str());
        rmdir(dir.c_str());
    }
    bool ready() const { return tcpPort != 0; }

    std::string ip;
    std::string dir;
    std::string portFile;
    std::unique_ptr<BackgroundProcess> process;
    unsigned tcpPort = 0;
    unsigned udpPort = 0;
};

ProcessResult Quorvel(const Ecusim& ecu, std::vector<std::string> extra, const std::string& input) {
    std::vector<std::string> args{kQuorvel, "--source_address", "0x0E80", "--target_address", "0x1014",
                                  "--target_ip", ecu.ip, "--target_port", std::to_string(ecu.tcpPort)};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunProcess(args, input);
}

class QuorvelEcusim : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kEcusim.c_str(), X_OK) != 0) GTEST_SKIP() << "kestrum_ecusim not built";
    }
};

TEST_F(QuorvelEcusim, ReadsThePartNumberOverIpv4AndIpv6) {
    for (const char* ip : {"127.0.0.1", "::1"}) {
        Ecusim ecu({"--part_number", "5G0920861A"}, ip);
        ASSERT_TRUE(ecu.ready()) << ip;
        ProcessResult run = Quorvel(ecu, {}, "22 F1 87\n");
        EXPECT_EQ(run.exitCode, 0) << ip << run.err;
        EXPECT_EQ(run.out, "62 F1 87 35 47 30 39 32 30 38 36 31 41\n") << ip;
    }
}

TEST_F(QuorvelEcusim, NegativeAnswerFailsAfterEveryRetry) {
    Ecusim ecu;
    ASSERT_TRUE(ecu.ready());
    ProcessResult run = Quorvel(ecu, {"--retries", "2"}, "22 FF FF");
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_EQ(run.out, "7F 22 31\n7F 22 31\n");
}

TEST_F(QuorvelEcusim, PendingAndBusyAnswers) {
    Ecusim pending({"--pending", "2", "--pending_sid", "0x22"});
    ASSERT_TRUE(pending.ready());
    ProcessResult run = Quorvel(pending, {"-v"}, "22 F1 87");
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.rfind("62 F1 87 ", 0), 0u) << run.out;
    EXPECT_NE(run.err.find("Debug:UDS: SID 0x22 .. Response is pending\n"), std::string::npos) << run.err;

    Ecusim busy({"--busy", "5", "--busy_sid", "0x22"});
    ASSERT_TRUE(busy.ready());
    run = Quorvel(busy, {"-v"}, "22 F1 87");
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_EQ(run.out, "7F 22 21\n");
    EXPECT_NE(run.err.find("Error:UDS: Too many requests\n"), std::string::npos) << run.err;
}

TEST_F(QuorvelEcusim, SilenceCountsOnlyWithSuppressedPositiveResponse) {
    Ecusim ecu;
    ASSERT_TRUE(ecu.ready());
    // Tester present with the suppress bit: the ECU does not answer.
    ProcessResult spr = Quorvel(ecu, {"--spr", "--p3_client", "200"}, "3E 80");
    EXPECT_EQ(spr.exitCode, 0) << spr.err;
    EXPECT_EQ(spr.out, "\n");

    ProcessResult plain = Quorvel(ecu, {"-v"}, "3E 80");
    EXPECT_EQ(plain.exitCode, 255);
    EXPECT_EQ(plain.out, "");
    EXPECT_NE(plain.err.find("Error:UDS: SID 0x3E .. Can't get response (Timeout 100ms)\n"), std::string::npos)
        << plain.err;

    ProcessResult hook = Quorvel(ecu, {"-v", "--disconnect_hook", "false"}, "3E 80");
    EXPECT_EQ(hook.exitCode, 255);
    EXPECT_NE(hook.err.find("Error:DoipChannel: disconnect hook is failed\n"), std::string::npos) << hook.err;

    ProcessResult none = Quorvel(ecu, {"--retries", "0"}, "22 F1 87");
    EXPECT_EQ(none.exitCode, 255);
    EXPECT_EQ(none.out, "");
}

TEST_F(QuorvelEcusim, VehicleIdentificationOverIpv4AndIpv6) {
    for (const char* ip : {"127.0.0.1", "::1"}) {
        Ecusim ecu({}, ip);
        ASSERT_TRUE(ecu.ready()) << ip;
        ProcessResult run = RunProcess({kQuorvel, "--request_vam", "--target_ip", ip, "--target_port",
                                        std::to_string(ecu.udpPort), "--timeout", "10"},
                                       "");
        EXPECT_EQ(run.exitCode, 0) << ip;
        EXPECT_TRUE(std::regex_match(run.out, std::regex("Logical Address: 0x1014\nVIN:57 56 57 5A 5A 5A( [0-9A-F]{2}){11}\n"
                                                         "EID:[0-9A-F ]{17}\nGID:[0-9A-F ]{17}\n")))
            << ip << run.out;
    }
}

TEST_F(QuorvelEcusim, ListensForTheSimulatorsAnnouncements) {
    struct Case {
        const char* targetAddress;
        const char* timeout;
        int exitCode;
    };
    const Case cases[] = {
        {"0xFFFF", "10", 0},   // any valid announcement ends the listening
        {"0x1014", "10", 0},   // the simulator's address ends it
        {"0x2000", "2", 255},  // another address: announcements are shown, the listening runs out
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.targetAddress);
        const uint16_t port = FreeUdpPort();
        ASSERT_NE(port, 0);
        // The simulator announces every 100 ms; quorvel binds its port only once started.
        Ecusim ecu({"--announce_ip", "127.0.0.1", "--announce_port", std::to_string(port), "--announce_every_ms", "100"});
        ASSERT_TRUE(ecu.ready());
        ProcessResult run = RunProcess({kQuorvel, "--listen_vam", "--target_ip", "127.0.0.1", "--source_port",
                                        std::to_string(port), "--target_address", c.targetAddress, "--timeout", c.timeout},
                                       "");
        EXPECT_EQ(run.exitCode, c.exitCode) << run.out << run.err;
        EXPECT_EQ(run.out.rfind("Logical Address: 0x1014\nVIN:57 56 57 5A", 0), 0u) << run.out;
        EXPECT_NE(run.out.find("\nEID:"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("\nGID:"), std::string::npos) << run.out;
    }
}

}  // namespace
