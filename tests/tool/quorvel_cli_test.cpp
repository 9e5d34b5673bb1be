// The quorvel program as a child process against scripted DoIP peers on loopback.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "support/free_port.h"
#include "tool/fake_entity.h"
#include "support/process_runner.h"

namespace {

using Bytes = std::vector<uint8_t>;
const std::string kQuorvel = std::string(KESTRUM_BINARY_DIR) + "/quorvel";
const char kMissing[] = "Config: Missing required option(s): --source_address,--target_address,--target_ip\n";

ProcessResult Quorvel(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), kQuorvel);
    return RunProcess(args, input);
}

std::vector<std::string> SendArgs(uint16_t port, std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--source_address", "0x0E80", "--target_address", "0x1014",
                                  "--target_ip", "127.0.0.1", "--target_port", std::to_string(port)};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

TEST(QuorvelCli, CommandLineOutcomes) {
    ProcessResult none = Quorvel({});
    EXPECT_EQ(none.exitCode, 255);
    EXPECT_EQ(none.out.rfind("Send-Receive UDS command over DoIP\n", 0), 0u) << none.out;
    EXPECT_TRUE(EndsWith(none.out, std::string("\n") + kMissing)) << none.out;

    ProcessResult verboseOnly = Quorvel({"-v"});
    EXPECT_EQ(verboseOnly.exitCode, 255);
    EXPECT_TRUE(EndsWith(verboseOnly.out, kMissing));

    ProcessResult help = Quorvel({"--help"});
    EXPECT_EQ(help.exitCode, 255);
    EXPECT_NE(help.out.find("--suppress_positive_response,--spr"), std::string::npos);
    EXPECT_TRUE(EndsWith(help.out, "\n\n"));  // the help, then the empty line of the stop

    ProcessResult version = Quorvel({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_TRUE(std::regex_match(version.out, std::regex(R"(Quorvel:  \(9615\) \w{3} [ \d]\d \d{4} - \d\d:\d\d:\d\d)")))
        << "'" << version.out << "'";

    ProcessResult needsIp = Quorvel({"--request_vam"});
    EXPECT_EQ(needsIp.exitCode, 255);
    EXPECT_NE(needsIp.err.find("--target_ip"), std::string::npos) << needsIp.err;
}

TEST(QuorvelCli, PrintsThePositiveResponseInUpperCase) {
    FakeEntity entity({[](FakeEntity& e, TCPSocket& p) {
        FakeEntity::Activate(p);
        e.ReceiveAndAck(p);
        FakeEntity::Answer(p, {0x62, 0xF1, 0x87, 0x0a, 0xbc});
        e.HoldSilent(p);
    }});
    ProcessResult run = Quorvel(SendArgs(entity.port()), "22 f1 87\n");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "62 F1 87 0A BC\n");
    EXPECT_EQ(run.err, "");  // nothing on standard error without -v
    EXPECT_EQ(entity.requests(), std::vector<Bytes>{(Bytes{0x22, 0xF1, 0x87})});
}

TEST(QuorvelCli, NegativeResponseIsPrintedAndRetried) {
    auto negative = [](FakeEntity& e, TCPSocket& p) {
        FakeEntity::Activate(p);
        e.ReceiveAndAck(p);
        FakeEntity::Answer(p, {0x7F, 0x22, 0x31});
        e.HoldSilent(p);
    };
    FakeEntity entity({negative, negative});
    ProcessResult run = Quorvel(SendArgs(entity.port(), {"--retries", "2", "-v"}), "22 F1 87");
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_EQ(run.out, "7F 22 31\n7F 22 31\n");
    EXPECT_NE(run.err.find("Error:UDS: SID 0x22 .. Negative Response 0x31\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Debug:Quorvel: Input hexadecimal data: 22F187\n"), std::string::npos) << run.err;
    EXPECT_EQ(entity.connections(), 2);
}

TEST(QuorvelCli, SuppressedPositiveResponseTakesSilenceAsSuccess) {
    auto silent = [](FakeEntity& e, TCPSocket& p) {
        FakeEntity::Activate(p);
        e.ReceiveAndAck(p);
        e.HoldSilent(p);
    };
    auto silentAfterRestore = [](FakeEntity& e, TCPSocket& p) {
        FakeEntity::Activate(p);
        e.HoldSilent(p);
    };
    FakeEntity entity({silent, silentAfterRestore});
    ProcessResult run = Quorvel(SendArgs(entity.port(), {"--spr", "--p3_client", "100"}), "3E 80");
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "\n");
}

TEST(QuorvelCli, NoAttemptOrNoRequestFails) {
    FakeEntity entity({[](FakeEntity&, TCPSocket& p) { FakeEntity::Activate(p); }});
    ProcessResult noRetries = Quorvel(SendArgs(entity.port(), {"--retries", "0"}), "22 F1 87");
    EXPECT_EQ(noRetries.exitCode, 255);
    EXPECT_EQ(noRetries.out, "");

    ProcessResult noBytes = Quorvel(SendArgs(entity.port(), {"-v"}), "xyz");
    EXPECT_EQ(noBytes.exitCode, 255);
    EXPECT_EQ(noBytes.out, "");
    EXPECT_NE(noBytes.err.find("Error:UDS: Invalid message size\n"), std::string::npos) << noBytes.err;
    EXPECT_EQ(entity.connections(), 1);  // the attempt opens its channel before the request is checked
}

TEST(QuorvelCli, FailingDisconnectHookFailsTheAttempt) {
    char dir[] = "/tmp/quorvel_hook_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string marker = std::string(dir) + "/called";
    FakeEntity entity({[](FakeEntity& e, TCPSocket& p) {
        FakeEntity::Activate(p);
        e.ReceiveAndAck(p);
        e.HoldSilent(p);
    }});
    // The hook gets the target IP address appended as its one argument ($0 of sh -c).
    const std::string hook = "sh -c 'echo \"$0\" > " + marker + "; exit 3'";
    ProcessResult run = Quorvel(SendArgs(entity.port(), {"--disconnect_hook", hook, "-v"}), "22 F1 87");
    EXPECT_EQ(run.exitCode, 255);
    EXPECT_NE(run.err.find("Error:DoipChannel: disconnect hook is failed\n"), std::string::npos) << run.err;
    std::ifstream called(marker);
    std::string argument;
    std::getline(called, argument);
    EXPECT_EQ(argument, "127.0.0.1");
    std::remove(marker.c_str());
    rmdir(dir);
}

TEST(QuorvelCli, VehicleIdentificationRequestPrintsTheAnswer) {
    IdentificationResponder responder;
    ProcessResult run = Quorvel({"--request_vam", "--target_ip", "127.0.0.1", "--target_port",
                                 std::to_string(responder.port()), "--timeout", "10"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.rfind("Logical Address: 0x1014\nVIN:57 56 57 5A", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("\nEID:00 1A 2B 3C 4D 5E\nGID:00 00 00 00 00 01\n"), std::string::npos) << run.out;
}

TEST(QuorvelCli, ListensForAnAnnouncement) {
    const uint16_t port = FreeUdpPort();
    ASSERT_NE(port, 0);
    // Announces until the listener has had its chance (it binds the port only once started).
    std::atomic<bool> stop{false};
    std::thread announcer([&] {
        UdpSocket udp;
        sockets::SocketOptions options;
        options.targetIp = "127.0.0.1";
        options.targetPort = port;
        if (!udp.open(options)) return;
        auto message = IdentificationResponder::Announcement();
        while (!stop) {
            udp.write(static_cast<int>(message.size()), message.data());
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    ProcessResult run = Quorvel({"--listen_vam", "--target_ip", "127.0.0.1", "--source_port", std::to_string(port),
                                 "--target_address", "0xFFFF", "--timeout", "10"});
    stop = true;
    announcer.join();
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out.rfind("Logical Address: 0x1014\nVIN:", 0), 0u) << run.out;
}

}  // namespace
