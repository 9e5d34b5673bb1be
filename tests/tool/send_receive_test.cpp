#include "tool/send_receive.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <stdexcept>
#include <thread>

namespace {

using Bytes = std::vector<uint8_t>;

Config MakeConfig(std::vector<const char*> extra) {
    std::vector<const char*> args{"quorvel", "--source_address", "0x0E80", "--target_address", "0x1014",
                                  "--target_ip", "127.0.0.1"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Config::Create(static_cast<int>(args.size()), args.data());
}

struct LoopRun {
    int exitCode;
    int attempts;
    std::string out;
};

// Runs the loop with scripted attempt outcomes: a result, nullopt (channel not opened) or a
// thrown error (an empty response with status -1 in the script).
LoopRun RunScript(const Config& config, std::vector<std::optional<uds::UdsResult>> script) {
    LoopRun run{0, 0, ""};
    testing::internal::CaptureStdout();
    run.exitCode = quorvel::SendReceive(config, [&]() -> std::optional<uds::UdsResult> {
        auto step = script.at(run.attempts++);
        if (step && step->status < 0) throw std::runtime_error("attempt failed");
        return step;
    });
    run.out = testing::internal::GetCapturedStdout();
    return run;
}

TEST(SendReceive, RetriesUntilASuccessfulResponseAndPrintsEveryResponse) {
    const uds::UdsResult negative{2, {0x7F, 0x22, 0x31}};
    const uds::UdsResult positive{0, {0x62, 0xF1, 0x87, 0x0a}};
    const uds::UdsResult thrown{-1, {}};
    const uds::UdsResult busy{1, {0x7F, 0x22, 0x21}};

    LoopRun run = RunScript(MakeConfig({"--retries", "4"}), {std::nullopt, thrown, negative, positive});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.attempts, 4);
    EXPECT_EQ(run.out, "7F 22 31\n62 F1 87 0A\n");

    run = RunScript(MakeConfig({}), {negative});
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_EQ(run.attempts, 1);
    EXPECT_EQ(run.out, "7F 22 31\n");

    run = RunScript(MakeConfig({"--retries", "2", "--timeout", "0"}), {busy, busy});
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_EQ(run.out, "7F 22 21\n7F 22 21\n");

    run = RunScript(MakeConfig({"--spr"}), {uds::UdsResult{0, {}}});  // suppressed positive response
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(run.out, "\n");

    run = RunScript(MakeConfig({"--retries", "0"}), {});
    EXPECT_EQ(run.exitCode, -1);
    EXPECT_EQ(run.attempts, 0);
    EXPECT_EQ(run.out, "");
}

TEST(SendReceive, NoAttemptStartsAfterTheDeadline) {
    Config config = MakeConfig({"--retries", "5", "--timeout", "1"});
    int attempts = 0;
    int exitCode = quorvel::SendReceive(config, [&]() -> std::optional<uds::UdsResult> {
        ++attempts;
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        return std::nullopt;
    });
    EXPECT_EQ(exitCode, -1);
    EXPECT_EQ(attempts, 1);
}

TEST(SendReceive, OptionsAndVersionText) {
    auto options = quorvel::MakeUdsOptions(MakeConfig({"--p3_client", "1", "--p2_server", "2", "--p2_ext_server", "3", "--spr"}));
    EXPECT_EQ(options.maxRequests, 5);
    EXPECT_EQ(options.p3Client_ms, 1u);
    EXPECT_EQ(options.p2Server_ms, 2u);
    EXPECT_EQ(options.p2ExtServer_ms, 3u);
    EXPECT_TRUE(options.suppressPositiveResponse);

    EXPECT_TRUE(std::regex_match(quorvel::VersionText(),
                                 std::regex(R"(Quorvel:  \(9615\) [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4} - [0-9]{2}:[0-9]{2}:[0-9]{2})")))
        << quorvel::VersionText();
}

}  // namespace
