#include "tool/uds_exchange.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tool/scripted_channel.h"

namespace {

using Bytes = std::vector<uint8_t>;
const Bytes kRequest{0x22, 0xF1, 0x87};

class UdsExchange : public ::testing::Test {
protected:
    void SetUp() override { verboseLog = true; }
    void TearDown() override { verboseLog = false; }

    // Runs the exchange and keeps its log lines.
    uds::UdsResult Send(const Bytes& request = kRequest) {
        testing::internal::CaptureStderr();
        try {
            auto result = uds::UDS__Send(options, channel, 0x1014, request, pendingLimit);
            log = testing::internal::GetCapturedStderr();
            return result;
        } catch (...) {
            log = testing::internal::GetCapturedStderr();
            throw;
        }
    }
    std::string SendExpectingError(const Bytes& request = kRequest) {
        try {
            Send(request);
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "<no exception>";
    }
    int Count(const std::string& line) const {
        int n = 0;
        for (auto pos = log.find(line); pos != std::string::npos; pos = log.find(line, pos + 1)) ++n;
        return n;
    }

    uds::UdsOptions options;
    ScriptedChannel channel;
    std::chrono::steady_clock::duration pendingLimit = uds::kPendingLimit;
    std::string log;
};

TEST_F(UdsExchange, FinalAnswersGiveTheirStatusAndTheWholeResponse) {
    struct Case {
        Bytes answer;
        int status;
        const char* line;
    } cases[] = {
        {{0x62, 0xF1, 0x87, 0x41, 0x42}, 0, "Debug:UDS: SID 0x22 .. Positive Response\n"},
        {{0x7F, 0x22, 0x31}, 2, "Error:UDS: SID 0x22 .. Negative Response 0x31\n"},
        {{0x7F, 0x2E, 0x31}, 2, "Error:UDS: SID 0x22 .. Unexpected ServiceId 0x2E\n"},
        {{0x6E, 0xF1, 0x87}, 2, "Error:UDS: SID 0x22 .. Unexpected ServiceId 0x2E\n"},
    };
    for (const auto& c : cases) {
        channel = ScriptedChannel{};
        channel.answers = {c.answer};
        auto result = Send();
        EXPECT_EQ(result.status, c.status) << c.line;
        EXPECT_EQ(result.response, c.answer) << c.line;
        EXPECT_EQ(Count(c.line), 1) << log;
        EXPECT_EQ(channel.sent, std::vector<Bytes>{kRequest});
        EXPECT_EQ(channel.targets, std::vector<uint16_t>{0x1014});
        EXPECT_EQ(channel.waits, std::vector<int>{100});
        EXPECT_NE(log.find("Debug:UDS: Sending SID 0x22 ..\n"), std::string::npos);
    }
}

TEST_F(UdsExchange, PendingAnswersSwitchToTheExtendedWait) {
    channel.answers = {Bytes{0x7F, 0x22, 0x78}, Bytes{0x7F, 0x22, 0x78}, Bytes{0x62, 0xF1, 0x87, 0x01}};
    auto result = Send();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.response, (Bytes{0x62, 0xF1, 0x87, 0x01}));
    EXPECT_EQ(channel.waits, (std::vector<int>{100, 6000, 6000}));
    EXPECT_EQ(Count("Debug:UDS: SID 0x22 .. Response is pending\n"), 2);
    EXPECT_EQ(channel.sent.size(), 1u);
}

TEST_F(UdsExchange, PendingLimitEndsTheWaitWithTheLastPendingAnswer) {
    pendingLimit = std::chrono::milliseconds(20);
    channel.afterScript = Bytes{0x7F, 0x22, 0x78};
    auto result = Send();
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.response, (Bytes{0x7F, 0x22, 0x78}));
    EXPECT_EQ(Count("Error:UDS: SID 0x22 .. PendingComletionTimeout is reached\n"), 1);
}

TEST_F(UdsExchange, BusyAnswersResendUpToTheLimit) {
    channel.afterScript = Bytes{0x7F, 0x22, 0x21};
    auto result = Send();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.response, (Bytes{0x7F, 0x22, 0x21}));
    EXPECT_EQ(channel.sent.size(), 5u);
    EXPECT_EQ(Count("Debug:UDS: Try to send request again\n"), 5);
    EXPECT_EQ(Count("Error:UDS: Too many requests\n"), 1);

    channel = ScriptedChannel{};
    channel.answers = {Bytes{0x7F, 0x22, 0x21}, Bytes{0x62, 0xF1, 0x87}};
    EXPECT_EQ(Send().status, 0);
    EXPECT_EQ(channel.sent.size(), 2u);
}

TEST_F(UdsExchange, SilenceIsAnErrorUnlessPositiveResponsesAreSuppressed) {
    EXPECT_EQ(SendExpectingError(), "UDS: SID 0x22 .. Can't get response (Timeout 100ms)");

    options.suppressPositiveResponse = true;
    channel = ScriptedChannel{};
    auto result = Send({0x3E, 0x80});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.response.empty());
    EXPECT_EQ(channel.waits, std::vector<int>{400});
    EXPECT_EQ(channel.sent, (std::vector<Bytes>{Bytes{0x3E, 0x80}}));  // sent unchanged
    EXPECT_EQ(Count("Debug:UDS: SID 0x3E .. Suppressed Positive Response\n"), 1);
}

TEST_F(UdsExchange, SilenceAfterAPendingAnswerIsNeverASuccess) {
    options.suppressPositiveResponse = true;
    channel.answers = {Bytes{0x7F, 0x31, 0x78}, std::nullopt};
    EXPECT_EQ(SendExpectingError({0x31, 0x01, 0xFF, 0x00}), "UDS: SID 0x31 .. Can't get response (Timeout 6000ms)");
}

TEST_F(UdsExchange, BrokenInputAndSendFailuresThrow) {
    EXPECT_EQ(SendExpectingError({}), "UDS: Invalid message size");
    EXPECT_TRUE(channel.sent.empty());

    channel.answers = {Bytes{0x7F, 0x22}};
    EXPECT_EQ(SendExpectingError(), "UDS: Illegal length of negative response 2");

    channel = ScriptedChannel{};
    channel.failSend = true;
    EXPECT_EQ(SendExpectingError(), "UDS: Send failed");
    EXPECT_EQ(Count("Error:TCP socket write() failed\n"), 1);
}

}  // namespace
