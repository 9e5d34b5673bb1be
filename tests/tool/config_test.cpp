#include "tool/config.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

Config Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "quorvel");
    return Config::Create(static_cast<int>(args.size()), args.data());
}

// Runs Create and returns the exception's message, with the captured outputs.
struct Stopped {
    std::string message, out, err;
};
Stopped ParseStopped(std::vector<const char*> args) {
    Stopped stopped{"<no exception>", "", ""};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    try {
        Parse(args);
    } catch (const std::runtime_error& e) {
        stopped.message = e.what();
    }
    stopped.out = testing::internal::GetCapturedStdout();
    stopped.err = testing::internal::GetCapturedStderr();
    return stopped;
}

TEST(ToolConfig, DefaultsAndConversions) {
    Config c = Parse({"--source_address", "0x0E80", "--target_address", "0x1014", "--target_ip", "::1"});
    EXPECT_EQ(c.DiagSourceAddress(), 0x0E80);
    EXPECT_EQ(c.DiagTargetAddress(), 0x1014);
    EXPECT_EQ(c.TargetIp(), "::1");
    EXPECT_EQ(c.TargetPort(), 13400);
    EXPECT_EQ(c.SourcePort(), 13400);
    EXPECT_FALSE(c.BindSourcePort());
    EXPECT_FALSE(c.SendVir());
    EXPECT_FALSE(c.ListenVam());
    EXPECT_EQ(c.Retries(), 1);
    EXPECT_EQ(c.Timeout_s(), -1);
    EXPECT_FALSE(c.UseTimeout());
    EXPECT_EQ(c.P3Client_ms(), 400u);
    EXPECT_EQ(c.P2Server_ms(), 100u);
    EXPECT_EQ(c.P2ExtServer_ms(), 6000u);
    EXPECT_FALSE(c.SuppressPositiveResponse());
    EXPECT_EQ(c.DisconnectHook(), "");
    EXPECT_FALSE(c.Verbose());
    EXPECT_FALSE(c.getVersion());

    c = Parse({"--source_address", "010", "--target_address", "4116", "--target_ip", "127.0.0.1",
               "--source_port", "13401", "--target_port", "13402", "--retries", "3", "--timeout", "5",
               "--p3_client", "50", "--p2_server", "60", "--p2_ext_server", "70", "--spr",
               "--disconnect_hook", "hook.sh", "-v"});
    EXPECT_EQ(c.DiagSourceAddress(), 8);  // leading 0: octal
    EXPECT_EQ(c.DiagTargetAddress(), 0x1014);
    EXPECT_EQ(c.SourcePort(), 13401);
    EXPECT_TRUE(c.BindSourcePort());
    EXPECT_EQ(c.TargetPort(), 13402);
    EXPECT_EQ(c.Retries(), 3);
    EXPECT_TRUE(c.UseTimeout());
    EXPECT_EQ(c.P3Client_ms(), 50u);
    EXPECT_EQ(c.P2Server_ms(), 60u);
    EXPECT_EQ(c.P2ExtServer_ms(), 70u);
    EXPECT_TRUE(c.SuppressPositiveResponse());
    EXPECT_EQ(c.DisconnectHook(), "hook.sh");
    EXPECT_TRUE(c.Verbose());

    EXPECT_TRUE(Parse({"--suppress_positive_response", "--source_address", "1", "--target_address", "2",
                       "--target_ip", "::1"}).SuppressPositiveResponse());
}

TEST(ToolConfig, ModesWithoutTheRequiredOptions) {
    EXPECT_TRUE(Parse({"--listen_vam"}).ListenVam());
    EXPECT_TRUE(Parse({"--version"}).getVersion());
    Config c = Parse({"--request_vam", "--target_ip", "127.0.0.1"});
    EXPECT_TRUE(c.SendVir());
    EXPECT_EQ(c.TargetIp(), "127.0.0.1");
}

TEST(ToolConfig, MissingOptionsAreListedSortedAfterTheHelp) {
    struct Case {
        std::vector<const char*> args;
        const char* message;
    } cases[] = {
        {{}, "Config: Missing required option(s): --source_address,--target_address,--target_ip"},
        {{"--target_ip", "::1"}, "Config: Missing required option(s): --source_address,--target_address"},
        {{"--target_address", "1", "-v"}, "Config: Missing required option(s): --source_address,--target_ip"},
    };
    for (const auto& c : cases) {
        Stopped s = ParseStopped(c.args);
        EXPECT_EQ(s.message, c.message);
        EXPECT_NE(s.out.find("Send-Receive UDS command over DoIP\nThe pdu data is expected on STDIN"), std::string::npos);
        EXPECT_NE(s.out.find("--source_address"), std::string::npos);
        EXPECT_EQ(s.out.back(), '\n');
    }
}

TEST(ToolConfig, HelpAndParseErrorsStopWithAnEmptyMessage) {
    Stopped help = ParseStopped({"--help"});
    EXPECT_EQ(help.message, "");
    EXPECT_NE(help.out.find("print extra debug informations to stderr"), std::string::npos);
    EXPECT_NE(help.out.find("interpret timeout as positive response"), std::string::npos);

    struct Case {
        std::vector<const char*> args;
    } errors[] = {
        {{"--request_vam"}},                                        // needs --target_ip
        {{"--source_address", "0x10000", "--listen_vam"}},          // out of 16-bit range
        {{"--source_address", "abc", "--listen_vam"}},
        {{"--listen_vam", "--unknown"}},
    };
    for (const auto& c : errors) {
        Stopped s = ParseStopped(c.args);
        EXPECT_EQ(s.message, "") << c.args[0];
        EXPECT_FALSE(s.err.empty()) << c.args[0];
    }
}

}  // namespace
