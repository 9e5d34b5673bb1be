#include "tool/doip_channel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <string>

#include "support/free_port.h"
#include "tool/fake_entity.h"
#include "tool/tool_log.h"
#include "tool/uds_exchange.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint16_t kTester = 0x0E80;

sockets::SocketOptions OptionsFor(uint16_t port) {
    sockets::SocketOptions options;
    options.targetIp = "127.0.0.1";
    options.targetPort = port;
    options.sourcePort = 0;
    return options;
}

// A loopback port on which nobody listens.
uint16_t ClosedPort() { return FreeTcpPort(); }

class ToolChannel : public ::testing::Test {
protected:
    void SetUp() override { verboseLog = true; }
    void TearDown() override {
        verboseLog = false;
        doip::DoipChannel::restoreListen() = doip::DoipChannel::RestoreListen{};
    }

    std::string OpenError(FakeEntity::Session session) {
        FakeEntity entity({session});
        DoipChannel channel(kTester, "");
        testing::internal::CaptureStderr();
        std::string message = "<no exception>";
        try {
            channel.Open(OptionsFor(entity.port()));
        } catch (const std::runtime_error& e) {
            message = e.what();
        }
        testing::internal::GetCapturedStderr();
        return message;
    }
};

TEST_F(ToolChannel, RoutingActivationResponsesAreChecked) {
    struct Case {
        FakeEntity::Session session;
        const char* message;
    } cases[] = {
        {[](FakeEntity&, TCPSocket& p) { FakeEntity::Activate(p, 0x11); },
         "RoutingActivationError: Routing Activation is denied by vehicle"},
        {[](FakeEntity&, TCPSocket& p) {
             FakeEntity::Read(p);
             FakeEntity::Write(p, doip::BuildRoutingActivationResponse(0x0E81, FakeEntity::kEntityAddress, 0x10));
         },
         "RoutingActivationError: Responded address does not correspond source address"},
        {[](FakeEntity&, TCPSocket& p) {
             FakeEntity::Read(p);
             auto response = doip::BuildRoutingActivationResponse(kTester, FakeEntity::kEntityAddress, 0x10);
             Bytes payload(response.begin() + 8, response.begin() + 16);  // 8 payload bytes
             FakeEntity::Write(p, doip::BuildMessage(doip::kRoutingActivationResponse, payload, 0x02));
         },
         "RoutingActivationError: incorrect response from vehicle"},
        {[](FakeEntity&, TCPSocket& p) {
             FakeEntity::Read(p);
             FakeEntity::Write(p, doip::BuildMessage(doip::kGenericNack, {0x02}, 0x02));
         },
         "RoutingActivationError: incorrect response from vehicle"},
        {[](FakeEntity& e, TCPSocket& p) { e.HoldSilent(p); }, "TCP: socket poll() timed out"},
    };
    for (const auto& c : cases) EXPECT_EQ(OpenError(c.session), c.message);
}

TEST_F(ToolChannel, OpenFailsWithoutEntity) {
    DoipChannel channel(kTester, "");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(channel.Open(OptionsFor(ClosedPort())));
    testing::internal::GetCapturedStderr();
}

TEST_F(ToolChannel, ExchangesARequestOverTheChannel) {
    FakeEntity entity({[](FakeEntity& e, TCPSocket& p) {
        FakeEntity::Activate(p);
        e.ReceiveAndAck(p);
        FakeEntity::Answer(p, {0x62, 0xF1, 0x87, 0x41});
        e.HoldSilent(p);
    }});
    DoipChannel channel(kTester, "");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(channel.Open(OptionsFor(entity.port())));
    auto result = uds::UDS__Send(uds::UdsOptions{}, channel, FakeEntity::kEntityAddress, {0x22, 0xF1, 0x87});
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.response, (Bytes{0x62, 0xF1, 0x87, 0x41}));
    EXPECT_EQ(entity.requests(), std::vector<Bytes>{(Bytes{0x22, 0xF1, 0x87})});
    EXPECT_EQ(entity.failure(), "");
}

TEST_F(ToolChannel, ReceiveDiagMessageRejectsOtherMessages) {
    struct Case {
        Bytes message;
        const char* error;
    } cases[] = {
        {doip::BuildDiagnosticAck(true, FakeEntity::kEntityAddress, kTester, 0, {}),
         "ReceiveDiagMessageError: incorrect doip type 0x8002"},
        {doip::BuildMessage(doip::kDiagnosticMessage, {0x10, 0x14, 0x0E}, 0x02), "ReceiveDiagMessageError: Invalid size"},
    };
    for (const auto& c : cases) {
        Bytes message = c.message;
        FakeEntity entity({[message](FakeEntity& e, TCPSocket& p) {
            FakeEntity::Activate(p);
            FakeEntity::Write(p, message);
            e.HoldSilent(p);
        }});
        DoipChannel channel(kTester, "");
        testing::internal::CaptureStderr();
        ASSERT_TRUE(channel.Open(OptionsFor(entity.port())));
        try {
            channel.ReceiveDiagMessage(2000);
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
        testing::internal::GetCapturedStderr();
    }
}

TEST_F(ToolChannel, TimeoutRestoresOnceThenGivesUp) {
    auto silent = [](FakeEntity& e, TCPSocket& p) {
        FakeEntity::Activate(p);
        e.HoldSilent(p);
    };
    FakeEntity entity({silent, silent});
    DoipChannel channel(kTester, "");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(channel.Open(OptionsFor(entity.port())));
    EXPECT_THROW(channel.ReceiveDiagMessage(100), TcpTimeout);
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Debug:DoipChannel: TCP Timeout\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Debug:DoipChannel: Try to restore\n"), std::string::npos) << log;
    EXPECT_EQ(entity.connections(), 2);
}

TEST_F(ToolChannel, FailingDisconnectHookEndsTheRestore) {
    FakeEntity entity({[](FakeEntity& e, TCPSocket& p) {
        FakeEntity::Activate(p);
        e.HoldSilent(p);
    }});
    DoipChannel channel(kTester, "false");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(channel.Open(OptionsFor(entity.port())));
    try {
        channel.ReceiveDiagMessage(100);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "DoipChannel: disconnect hook is failed");
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Debug:Hook: \"false 127.0.0.1\" : System Return: 256\n"), std::string::npos) << log;
    EXPECT_EQ(entity.connections(), 1);
}

TEST_F(ToolChannel, BrokenConnectionIsRestoredAndTheAnswerRead) {
    doip::DoipChannel::restoreListen().seconds = 1;
    FakeEntity entity({
        [](FakeEntity&, TCPSocket& p) { FakeEntity::Activate(p); },  // closes right after activation
        [](FakeEntity& e, TCPSocket& p) {
            FakeEntity::Activate(p);
            FakeEntity::Answer(p, {0x50, 0x03});
            e.HoldSilent(p);
        },
    });
    DoipChannel channel(kTester, "");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(channel.Open(OptionsFor(entity.port())));
    Bytes answer;
    try {
        answer = channel.ReceiveDiagMessage(2000);
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(answer, (Bytes{0x50, 0x03}));
    EXPECT_NE(log.find("Debug:DoipChannel: TCP Connection Broken\n"), std::string::npos) << log;
    EXPECT_EQ(entity.connections(), 2);
}

TEST_F(ToolChannel, RestoreGivesUpWhenTheWindowEnds) {
    FakeEntity entity({[](FakeEntity&, TCPSocket& p) { FakeEntity::Activate(p); }});
    DoipChannel channel(kTester, "");
    testing::internal::CaptureStderr();
    ASSERT_TRUE(channel.Open(OptionsFor(entity.port())));
    channel.setRestoreWindow([] { return 0; });
    try {
        channel.Restore(DoipChannel::Hook);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "DoipChannel: connection is lost");
    }
    testing::internal::GetCapturedStderr();
}

TEST_F(ToolChannel, WaitVehicleAnouncementSucceedsWhenEitherSearchFindsTheVehicle) {
    IdentificationResponder responder;
    DoipChannel channel(kTester, "");
    testing::internal::CaptureStderr();
    // Open only stores the options here: nobody accepts TCP on the responder's port.
    EXPECT_FALSE(channel.Open(OptionsFor(responder.port())));
    EXPECT_NO_THROW(channel.WaitVehicleAnouncement(10));
    testing::internal::GetCapturedStderr();
}

TEST_F(ToolChannel, WaitVehicleAnouncementThrowsWhenNothingAnswers) {
    DoipChannel channel(kTester, "");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(channel.Open(OptionsFor(ClosedPort())));
    try {
        channel.WaitVehicleAnouncement(1);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "DoipChannel: cluster is not alive");
    }
    testing::internal::GetCapturedStderr();
}

TEST_F(ToolChannel, WaitVehicleAnouncementSurvivesASearchThatCannotStart) {
    DoipChannel channel(kTester, "");
    auto options = OptionsFor(1);
    options.targetIp = "not-an-address";  // neither UDP socket can be opened
    testing::internal::CaptureStderr();
    EXPECT_FALSE(channel.Open(options));
    try {
        channel.WaitVehicleAnouncement(1);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "DoipChannel: cluster is not alive");
    }
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("Error:DoipChannel: udp6 is not opened\n"), std::string::npos) << log;
}

}  // namespace
