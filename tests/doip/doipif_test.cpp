// The flasher's DoIP interface (transport operations, acknowledgement wait, answer queues,
// workers, restore) against an in-test DoIP entity on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>

#include "doip/discovery_helpers.h"
#include "doip/doip_internal.h"
#include "doip/doip_peer.h"
#include "doip/doipif.h"
#include "events/event_bus.h"
#include "events/subscription.h"
#include "flasher/cfg.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "uds/uds.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint16_t kTester = 0x0E80;
constexpr uint16_t kEcu = 0x1014;

using testsupport::waitUntil;
// Bound of waits for log lines written and answers filed by other threads.
constexpr std::chrono::seconds kWait(10);

class DoipInterface : public ::testing::Test {
protected:
    // Configures the flasher for the peer and starts the DoIP stream through the UDS client.
    void Start(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--p2_ext_server", "3000", "--routing_activation_retry_delay", "50"};
        args.insert(args.end(), extra.begin(), extra.end());
        Configure(peer.port(), args);
        ASSERT_TRUE(UDS_boInit());
        ASSERT_TRUE(DOIPIF_boStartStream());
        ASSERT_TRUE(peer.waitFor(doip::kRoutingActivationRequest, 1));
    }
    // Sets the flasher's options for DoIP to 127.0.0.1:port, logging into the capture.
    void Configure(uint16_t port, const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"kestrum_flasher", "--use_eth", "--target_ip", "127.0.0.1",
                                         "--target_port", std::to_string(port), "--logfile", log.path()};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        ASSERT_EQ(CFG_enInit(static_cast<int>(argv.size()), argv.data(), "test"), 0);
        LOG_SetVerbosity(1);
    }
    void TearDown() override {
        DOIPIF__vResetForTests();
        eventBus.reset();
    }
    bool Send(const Bytes& request, IF_tenSocketType addressing = IF_SOCKET_PHY) {
        Bytes copy = request;
        return DOIPIF_boSendUDS(addressing, copy.data(), static_cast<uint32_t>(copy.size()));
    }
    Bytes Receive(uint8_t sid, uint32_t capacity = 4096, int timeoutMs = 2000) {
        Bytes buffer(capacity);
        const int n = DOIPIF_iReceive(sid, buffer.data(), capacity, timeoutMs);
        if (n < 0) return {0xDE, 0xAD};  // marks "nothing"
        buffer.resize(static_cast<size_t>(n));
        return buffer;
    }

    RestoreListenOnFreePort listen;  // destroyed after the workers are stopped
    LogCapture log;
    DoipPeer peer;
};

const Bytes kNothing = {0xDE, 0xAD};

TEST_F(DoipInterface, RequestIsAcknowledgedAndItsAnswersQueued) {
    Bytes answer = {0x62, 0xF1, 0x87};
    for (int i = 0; i < 17; ++i) answer.push_back(static_cast<uint8_t>('0' + i));
    peer.onDiag = [&](DoipPeer& p, uint16_t s, uint16_t t, const Bytes& u) {
        p.sendAck(true, t, s, 0, u);
        if (u[0] == 0x22) p.sendDiag(t, s, answer);
        if (u[0] == 0x31) {  // response pending, then the final answer
            p.sendDiag(t, s, {0x7F, 0x31, 0x78});
            p.sendDiag(t, s, {0x71, 0x01, 0xFF, 0x00});
        }
    };
    Start();
    ASSERT_TRUE(Send({0x22, 0xF1, 0x87}));
    EXPECT_EQ(Receive(0x22), answer);
    EXPECT_TRUE(log.contains("DOIP: SID 0x22: Positive ACK"));
    // A short buffer takes the start of the answer; the rest is gone.
    ASSERT_TRUE(Send({0x22, 0xF1, 0x87}));
    EXPECT_EQ(Receive(0x22, 10), Bytes(answer.begin(), answer.begin() + 10));
    EXPECT_EQ(Receive(0x22, 4096, 50), kNothing);
    ASSERT_TRUE(Send({0x31, 0x01, 0xFF, 0x00}));
    EXPECT_EQ(Receive(0x31), (Bytes{0x7F, 0x31, 0x78}));
    EXPECT_EQ(Receive(0x31), (Bytes{0x71, 0x01, 0xFF, 0x00}));
    EXPECT_EQ(peer.received()[1].payload, (Bytes{0x0E, 0x80, 0x10, 0x14, 0x22, 0xF1, 0x87}));
}

TEST_F(DoipInterface, AnAnswerWakesItsReaderWhileAnotherReaderWaits) {
    // The tester-present thread waits for its own answer while the main thread waits for
    // another service: the wake-up of one must never be consumed by the other.
    peer.onDiag = [](DoipPeer& p, uint16_t s, uint16_t t, const Bytes& u) {
        p.sendAck(true, t, s, 0, u);
        if (u[0] == 0x22) p.sendDiag(t, s, {0x62, u[1], u[2]});
    };
    Start();
    std::atomic<bool> stop{false};
    std::thread other([&] {
        while (!stop) {
            uint8_t buffer[8];
            DOIPIF_iReceive(0x3E, buffer, sizeof buffer, 20);
        }
    });
    int answered = 0;
    for (int i = 0; i < 40; ++i) {
        if (!Send({0x22, 0xF1, static_cast<uint8_t>(i)})) break;
        if (Receive(0x22, 16, 2000) == Bytes{0x62, 0xF1, static_cast<uint8_t>(i)}) ++answered;
    }
    stop = true;
    other.join();
    EXPECT_EQ(answered, 40);
}

TEST_F(DoipInterface, NegativeAcknowledgementFailsWithoutRestore) {
    peer.onDiag = [](DoipPeer& p, uint16_t s, uint16_t t, const Bytes& u) { p.sendAck(false, t, s, 0x03, u); };
    Start();
    EXPECT_FALSE(Send({0x10, 0x03}));
    EXPECT_TRUE(log.contains(": [WRN    ] [KSTRMF] DOIP: SID 0x10: Negative ACK \"unknown target address\""));
    EXPECT_FALSE(log.contains("start restore"));
    EXPECT_EQ(peer.connections(), 1);
}

TEST_F(DoipInterface, AcknowledgementsOfOtherSendersAndRequestsAreSkipped) {
    peer.onDiag = [](DoipPeer& p, uint16_t s, uint16_t t, const Bytes& u) {
        p.sendAck(true, 0xE400, s, 0, u);          // from the functional address
        p.sendAck(true, t, 0x0E81, 0, u);          // to another tester
        p.sendAck(true, t, s, 0, {0x2E});          // echo of another request
        p.sendAck(true, t, s, 0, {u[0], u[1]});    // ours, short echo
    };
    Start();
    EXPECT_TRUE(Send({0x22, 0xF1, 0x87}));
    EXPECT_TRUE(log.contains("DOIP: SID 0x22: unexpected source address in acknowledgment 0xE400"));
    EXPECT_TRUE(log.contains(": [ERR    ] [KSTRMF] DOIP: unexpected target address in acknowledgment 0x0E81"));
    EXPECT_TRUE(log.contains(": [ERR    ] [KSTRMF] DOIP: received acknowledgment for unknown request"));
}

TEST_F(DoipInterface, MissingAcknowledgementRestoresTheConnection) {
    std::atomic<int> requests{0};
    peer.onDiag = [&](DoipPeer& p, uint16_t s, uint16_t t, const Bytes& u) {
        if (requests++ > 0) p.sendAck(true, t, s, 0, u);  // the first one stays unanswered
    };
    Start();
    EXPECT_FALSE(Send({0x10, 0x03}));
    EXPECT_TRUE(log.contains(": [WRN    ] [KSTRMF] DOIP_boSendUDS: No ACK: start restore"));
    EXPECT_TRUE(log.contains("DOIP: Try to restore connection"));
    EXPECT_EQ(peer.connections(), 2);
    EXPECT_TRUE(Send({0x10, 0x03}));  // the restored channel works
}

TEST_F(DoipInterface, DroppedConnectionIsRestoredByTheReadThread) {
    std::atomic<int> lost{0};
    Subscription watch;
    const int token = eventBus.newToken();
    eventBus.listen<ConnectionLost>(token, [&](const ConnectionLost&) { return ++lost > 0; });
    watch.subscribe(token);
    peer.onDiag = [](DoipPeer& p, uint16_t s, uint16_t t, const Bytes& u) {
        p.sendAck(true, t, s, 0, u);
        p.sendDiag(t, s, {0x50, 0x03});
    };
    Start();
    peer.drop();
    ASSERT_TRUE(peer.waitForConnections(2));
    ASSERT_TRUE(peer.waitFor(doip::kRoutingActivationRequest, 2));
    EXPECT_TRUE(waitUntil([&] { return log.contains("DOIP: Try to restore connection"); }, kWait));
    EXPECT_TRUE(log.contains(": [ERR    ] [KSTRMF] DoIP: TCP: Connection is broken"));
    EXPECT_EQ(lost.load(), 1);
    EXPECT_TRUE(waitUntil([&] { return Send({0x10, 0x03}); }, kWait));
    EXPECT_EQ(Receive(0x10), (Bytes{0x50, 0x03}));
}

TEST_F(DoipInterface, FailedRestoreIsReportedAndLeavesReadingIdle) {
    auto gone = std::make_unique<DoipPeer>();  // `peer` stays for the fixture; the flasher talks to `gone`
    Configure(gone->port(), {"--p2_ext_server", "200"});
    ASSERT_TRUE(UDS_boInit());
    ASSERT_TRUE(DOIPIF_boStartStream());
    gone.reset();  // the entity disappears with its port
    EXPECT_TRUE(waitUntil([&] { return log.contains("DOIP: error.what() DoipChannel: connection is lost"); }, kWait));
    EXPECT_FALSE(Send({0x10, 0x03}));  // sending on the closed channel fails (and tries again)
}

TEST_F(DoipInterface, DeinitEndsARunningRestore) {
    Start({"--p2_ext_server", "60000"});
    peer.routingCode = 0x00;  // every reconnection is refused
    peer.drop();
    ASSERT_TRUE(waitUntil([&] { return log.contains("DOIP: Try to restore connection"); }, kWait));
    ASSERT_TRUE(peer.waitFor(doip::kRoutingActivationRequest, 2));
    auto done = std::async(std::launch::async, [] { DOIPIF_vDeinit(); });
    // Generous bound, far below the 60 s window: only a hang fails this.
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(log.contains("DOIP: error.what() DoipChannel: connection is lost"));
    EXPECT_TRUE(log.contains("DOIPIF: deinit finished"));
}

TEST_F(DoipInterface, RequestsWithoutAStreamFail) {
    Configure(peer.port(), {});
    ASSERT_TRUE(UDS_boInit());
    EXPECT_FALSE(Send({0x10, 0x03}));
    EXPECT_FALSE(Send({}));
    EXPECT_TRUE(log.contains(": [ERR    ] [KSTRMF] DOIP_boSendUDS: incorrect size 0"));
    EXPECT_EQ(Receive(0x10, 16, 20), kNothing);
}

TEST_F(DoipInterface, AnswerQueueHolds256PerSender) {
    peer.onDiag = [](DoipPeer& p, uint16_t s, uint16_t t, const Bytes& u) {
        p.sendAck(true, t, s, 0, u);
        for (int i = 0; i < 257; ++i) p.sendDiag(t, s, {0x62, 0xF1, 0x87, static_cast<uint8_t>(i)});
    };
    Start();
    ASSERT_TRUE(Send({0x22, 0xF1, 0x87}));
    ASSERT_TRUE(waitUntil([&] {
        return log.contains(": [ERR    ] [KSTRMF] DOIP_UDS: Message lost because full fifo, service 0x22 from sender 0x1014");
    }, kWait));
    for (int i = 0; i < 256; ++i) ASSERT_EQ(Receive(0x22), (Bytes{0x62, 0xF1, 0x87, static_cast<uint8_t>(i)})) << i;
    EXPECT_EQ(Receive(0x22, 4096, 50), kNothing);
}

TEST_F(DoipInterface, UnexpectedAnswersAreDropped) {
    peer.onDiag = [](DoipPeer& p, uint16_t s, uint16_t t, const Bytes& u) { p.sendAck(true, t, s, 0, u); };
    Start();
    ASSERT_TRUE(Send({0x22, 0xF1, 0x87}));
    peer.sendDiag(kEcu, kTester, {0x51, 0x01});            // nobody asked for 0x11
    peer.sendDiag(0x1015, kTester, {0x62, 0xF1, 0x87});    // another ECU
    peer.sendDiag(kEcu, 0x0E81, {0x62, 0xF1, 0x87});       // another tester
    peer.sendDiag(kEcu, kTester, {});                      // 4-byte payload: fine, empty UDS
    peer.send(doip::BuildMessage(doip::kDiagnosticMessage, {0x10, 0x14, 0x0E}, 2));
    EXPECT_TRUE(waitUntil([&] { return log.contains("DOIP: invalid diagnostic message length"); }, kWait));
    EXPECT_TRUE(log.contains(": [WRN    ] [KSTRMF] DOIP_UDS: ignored unexpected service 0x11 from sender 0x1014"));
    EXPECT_TRUE(log.contains("DOIP_UDS: ignored service 0x22 from incorrect sender 0x1015 (Expected:0x1014)"));
    EXPECT_TRUE(log.contains(": [ERR    ] [KSTRMF] DOIP: wrong target address 0x0E81"));
    EXPECT_TRUE(log.contains("DoIP: Message not handled: Type 0x8001 Number "));
    EXPECT_EQ(Receive(0x22, 4096, 50), kNothing);
}

TEST_F(DoipInterface, AliveCheckIsAnsweredWithTheTesterAddress) {
    Start({"--source_address", "0x0E90"});
    peer.send(doip::BuildAliveCheckRequest());
    ASSERT_TRUE(peer.waitFor(doip::kAliveCheckResponse, 1));
    EXPECT_EQ(peer.received().back().payload, (Bytes{0x0E, 0x90}));
}

TEST_F(DoipInterface, TesterPresentGoesOutFunctionallyWhileConnected) {
    peer.onDiag = [](DoipPeer& p, uint16_t s, uint16_t t, const Bytes& u) { p.sendAck(true, t, s, 0, u); };
    Start({"--tester_present_cycletime_msec", "50"});
    uint8_t frame[] = {0x02, 0x3E, 0x80};
    ASSERT_TRUE(DOIPIF_boStartTesterPresentCyclicFunc(frame, 3));
    ASSERT_TRUE(peer.waitFor(doip::kDiagnosticMessage, 2));
    EXPECT_TRUE(DOIPIF_boStopTesterPresentCyclicFunc());
    const auto got = peer.received();
    EXPECT_EQ(got.back().payload, (Bytes{0x0E, 0x80, 0xE4, 0x00, 0x3E, 0x80}));
}

TEST_F(DoipInterface, ClusterCheckUsesTheHookOrATrialConnection) {
    peer.onDiag = [](DoipPeer& p, uint16_t s, uint16_t t, const Bytes& u) { p.sendAck(true, t, s, 0, u); };
    Start();
    EXPECT_TRUE(DOIPIF_isClusterConnected());
    EXPECT_TRUE(peer.waitForConnections(2));
    DOIPIF__vResetForTests();

    for (const char* exitCode : {"0", "1"}) {
        Configure(peer.port(), {"--connect_hook", std::string("sh -c 'exit ") + exitCode + "'"});
        EXPECT_EQ(DOIPIF_isClusterConnected(), exitCode[0] == '0');
    }
    EXPECT_EQ(peer.connections(), 2);  // the hook replaces the trial connection
}

}  // namespace
