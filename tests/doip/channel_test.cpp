// doip::DoipChannel against an in-test DoIP entity on loopback.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "doip/doip_peer.h"
#include "doip/discovery_helpers.h"
#include "doip/wire/doip_channel.h"
#include "support/log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint16_t kTester = 0x0E80;

TEST(DoipChannel, RoutingActivationOutcomes) {
    struct Case {
        const char* name;
        std::function<void(DoipPeer&)> setup;
        bool opens;
        const char* line;
    };
    const Case cases[] = {
        {"success", [](DoipPeer&) {}, true, ": [DBG2   ] [KSTRMF] DOIP: Routing has been activated successfully"},
        {"confirmation needed", [](DoipPeer& p) { p.routingCode = 0x11; }, false,
         ": [DBG2   ] [KSTRMF] DOIP: Routing will be activated after a confirmation"},
        {"denied", [](DoipPeer& p) { p.routingCode = 0x00; }, false,
         ": [DBG2   ] [KSTRMF] RoutingActivationError: Routing Activation is denied by vehicle"},
        {"unknown source", [](DoipPeer& p) { p.routingCode = 0x00; }, false,
         ": [ERR    ] [KSTRMF] DOIP: Routing activation failed: unknown source address"},
        {"eight bytes", [](DoipPeer& p) { p.routingPayloadLength = 8; }, false,
         ": [DBG2   ] [KSTRMF] RoutingActivationError: unexpected response length 8"},
        {"other tester", [](DoipPeer& p) { p.routingAddressDelta = 1; }, false,
         "RoutingActivationError: Responded address does not correspond source address"},
        {"wrong type", [](DoipPeer& p) { p.routingType = 0x8002; }, false,
         "RoutingActivationError: unexpected response type 0x8002"},
    };
    for (const auto& c : cases) {
        DoipPeer peer;
        c.setup(peer);
        LogCapture log;
        doip::DoipChannel channel(kTester, nullptr);
        EXPECT_EQ(channel.Open(To(peer.port())), c.opens) << c.name;
        EXPECT_EQ(channel.isOpen(), c.opens) << c.name;  // a failed activation shuts the socket down
        EXPECT_TRUE(log.contains(c.line)) << c.name << "\n" << log.text();
    }
}

TEST(DoipChannel, RequestsCarryTheConfiguredVersionOverIpv6) {
    DoipPeer peer("::1");
    const uint8_t saved = DOIPIF__u8ProtocolVersion;
    DOIPIF__u8ProtocolVersion = 3;
    doip::DoipChannel channel(kTester, nullptr);
    ASSERT_TRUE(channel.Open(To(peer.port(), "::1")));
    channel.SendAlive();
    ASSERT_TRUE(peer.waitFor(doip::kAliveCheckResponse, 1));
    DOIPIF__u8ProtocolVersion = saved;
    const auto got = peer.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].payload, (Bytes{0x0E, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(got[1].payload, (Bytes{0x0E, 0x80}));
}

TEST(DoipChannel, AcknowledgementChecks) {
    struct Case {
        const char* name;
        DoipPeer::DiagHandler reply;
        const char* error;  // null: accepted
    };
    const Case cases[] = {
        {"full echo", [](DoipPeer& p, uint16_t s, uint16_t t, const Bytes& u) { p.sendAck(true, t, s, 0, u); }, nullptr},
        {"short echo", [](DoipPeer& p, uint16_t s, uint16_t t, const Bytes& u) { p.sendAck(true, t, s, 0, {u[0]}); },
         nullptr},
        {"no echo", [](DoipPeer& p, uint16_t s, uint16_t t, const Bytes&) { p.sendAck(true, t, s, 0, {}); }, nullptr},
        {"other request", [](DoipPeer& p, uint16_t s, uint16_t t, const Bytes&) { p.sendAck(true, t, s, 0, {0x31}); },
         "DOIP: received acknowledgment for unknown request"},
        {"negative", [](DoipPeer& p, uint16_t s, uint16_t t, const Bytes& u) { p.sendAck(false, t, s, 3, u); },
         "DOIP: Unexpected payload type: 8003"},
        {"positive type, bad code",
         [](DoipPeer& p, uint16_t s, uint16_t t, const Bytes& u) { p.sendAck(true, t, s, 3, u); },
         "DOIP: Response is not positive: 3"},
        {"four bytes",
         [](DoipPeer& p, uint16_t s, uint16_t t, const Bytes&) {
             Bytes payload;
             doip::PutU16(payload, t);
             doip::PutU16(payload, s);
             p.send(doip::BuildMessage(doip::kDiagnosticMessagePositiveAck, payload, 2));
         },
         "DOIP: Unexpected payload size: 4"},
    };
    for (const auto& c : cases) {
        DoipPeer peer;
        peer.onDiag = c.reply;
        doip::DoipChannel channel(kTester, nullptr);
        ASSERT_TRUE(channel.Open(To(peer.port())));
        try {
            EXPECT_TRUE(channel.SendDiagMessage({0x22, 0xF1, 0x87}, 0x1014));
            EXPECT_EQ(c.error, nullptr) << c.name;
        } catch (const std::runtime_error& e) {
            ASSERT_NE(c.error, nullptr) << c.name << ": " << e.what();
            EXPECT_STREQ(e.what(), c.error) << c.name;
        }
    }
}

TEST(DoipChannel, ReceivesMessagesAndReportsBrokenConnections) {
    DoipPeer peer;
    doip::DoipChannel channel(kTester, nullptr);
    ASSERT_TRUE(channel.Open(To(peer.port())));
    EXPECT_THROW(channel.ReceiveDoip(10), TcpTimeout);
    peer.sendDiag(0x1014, kTester, {0x62, 0xF1, 0x87, 0x01});
    DoipMessage m = channel.ReceiveDoip(2000);
    EXPECT_EQ(m.payloadType, doip::kDiagnosticMessage);
    EXPECT_EQ(m.payload, (Bytes{0x10, 0x14, 0x0E, 0x80, 0x62, 0xF1, 0x87, 0x01}));
    peer.drop();
    EXPECT_THROW(channel.ReceiveDoip(2000), TcpConnectionBroken);
}

TEST(DoipChannel, RestoreReconnectsWithinTheWindow) {
    DoipPeer peer;
    doip::DoipChannel channel(kTester, nullptr);
    channel.setRestoreWindow([] { return 5000; });
    ASSERT_TRUE(channel.Open(To(peer.port())));
    peer.drop();
    LogCapture log;
    EXPECT_TRUE(channel.Restore(doip::DoipChannel::Hook));
    EXPECT_TRUE(log.contains("DoipChannel: Try to restore"));
    EXPECT_TRUE(channel.isOpen());
    EXPECT_EQ(peer.connections(), 2);
    EXPECT_EQ(peer.count(doip::kRoutingActivationRequest), 2u);
    channel.SendAlive();
    EXPECT_TRUE(peer.waitFor(doip::kAliveCheckResponse, 1));
}

TEST(DoipChannel, RestoreFailures) {
    DoipPeer peer;
    {
        // Window 0: no attempt at all.
        doip::DoipChannel channel(kTester, nullptr);
        channel.setRestoreWindow([] { return 0; });
        ASSERT_TRUE(channel.Open(To(peer.port())));
        try {
            channel.Restore(doip::DoipChannel::Hook);
            ADD_FAILURE();
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "DoipChannel: connection is lost");
        }
        EXPECT_EQ(peer.connections(), 1);
        EXPECT_FALSE(channel.isOpen());
    }
    {
        doip::DoipChannel channel(kTester, [] { return false; });
        ASSERT_TRUE(channel.Open(To(peer.port())));
        try {
            channel.Restore(doip::DoipChannel::Hook);
            ADD_FAILURE();
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "DoipChannel: connect hook is failed");
        }
    }
    {
        // The peer refuses routing: attempts repeat (with the pause) until the window ends.
        doip::DoipChannel channel(kTester, nullptr);
        channel.setRestoreWindow([] { return 300; });
        channel.setRetryDelay(100);
        ASSERT_TRUE(channel.Open(To(peer.port())));
        peer.routingCode = 0x00;
        EXPECT_THROW(channel.Restore(doip::DoipChannel::Hook), std::runtime_error);
        EXPECT_GE(peer.count(doip::kRoutingActivationRequest), 3u);
    }
}

TEST(DoipChannel, RestoreAfterAnAnnouncementSkipsTheConnectCheck) {
    RestoreListenOnFreePort listen;
    DoipPeer peer;
    doip::DoipChannel channel(kTester, [] { return false; });
    channel.setRestoreWindow([] { return 5000; });
    ASSERT_TRUE(channel.Open(To(peer.port())));
    peer.drop();
    Announcer announcer(listen.port, {0x1014});
    EXPECT_TRUE(channel.Restore());
    EXPECT_EQ(peer.connections(), 2);
}

TEST(DoipChannel, RestoreWithoutAnnouncementFallsBackToTheConnectCheck) {
    RestoreListenOnFreePort listen;
    DoipPeer peer;
    doip::DoipChannel channel(kTester, [] { return true; });
    channel.setRestoreWindow([] { return 5000; });
    ASSERT_TRUE(channel.Open(To(peer.port())));
    EXPECT_TRUE(channel.Restore(doip::DoipChannel::ListenAnnouncement));
    EXPECT_EQ(peer.connections(), 2);
}

TEST(DoipChannel, ListenForOneAddress) {
    UdpSocket probe;
    sockets::SocketOptions o = To(9, "::1");
    o.bindSource = true;
    ASSERT_TRUE(probe.open(o));
    const uint16_t port = probe.localPort();
    probe.close();

    sockets::SocketOptions listen = To(9, "::1");
    listen.bindSource = true;
    listen.sourcePort = port;
    Announcer announcer(port, {0x2000, 0x2000, 0x1014});
    std::vector<std::string> lines;
    EXPECT_TRUE(doip::DoipChannel::ListenVehicleAnnouncement(listen, 10, 0x1014,
                                                             [&](const std::string& l) { lines.push_back(l); }));
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.back(), "GID:00 00 00 00 00 00");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Logical Address: 0x2000"), lines.end());
    EXPECT_EQ(lines[lines.size() - 4], "Logical Address: 0x1014");

    // Expected 0 never matches: the listener ends at its deadline, or when told to stop.
    int calls = 0;
    EXPECT_FALSE(doip::DoipChannel::ListenVehicleAnnouncement(listen, 0, 0, nullptr, [&] { return ++calls < 3; }));
    EXPECT_EQ(calls, 3);
    EXPECT_THROW(doip::DoipChannel::ListenVehicleAnnouncement(listen, 1, 0, nullptr, doip::KeepGoing()),
                 std::bad_function_call);
}

TEST(DoipChannel, PollVehicleIdentityGetsTheAnswer) {
    // A responder answering identification requests from the tester's address.
    UdpSocket responder;
    sockets::SocketOptions r = To(9);
    r.bindSource = true;
    ASSERT_TRUE(responder.open(r));
    std::atomic<bool> stop{false};
    Bytes request;
    std::thread answer([&] {
        uint8_t buf[64];
        sockets::SocketAddress from;
        while (!stop) {
            int n = responder.readFrom(sizeof buf, buf, 20, from);
            if (n <= 0) continue;
            request.assign(buf, buf + n);
            const Bytes a = Announcement(0x1014);
            responder.writeTo(static_cast<int>(a.size()), a.data(), from);
        }
    });
    const uint8_t saved = DOIPIF__u8ProtocolVersion;
    DOIPIF__u8ProtocolVersion = 3;  // the identification request ignores it
    std::vector<std::string> lines;
    EXPECT_TRUE(doip::DoipChannel::PollVehicleIdentity(To(responder.localPort()), 5,
                                                       [&](const std::string& l) { lines.push_back(l); }));
    DOIPIF__u8ProtocolVersion = saved;
    stop = true;
    answer.join();
    EXPECT_EQ(request, (Bytes{0x02, 0xFD, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1], "VIN:57 56 57 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
}

TEST(DoipChannel, HookRunsWithTheTargetAddressAndItsExitCode) {
    char name[] = "/tmp/kestrum_hookXXXXXX";
    int fd = mkstemp(name);
    ASSERT_NE(fd, -1);
    ::close(fd);
    const std::string file = name;
    LogCapture log;
    EXPECT_EQ(doip::RunHook("sh -c 'echo \"$0\" > " + file + "; exit 3'", "fd00::1"), 3);
    std::ifstream in(file);
    std::string arg;
    std::getline(in, arg);
    EXPECT_EQ(arg, "fd00::1");
    EXPECT_TRUE(log.contains(": [DBG3   ] [KSTRMF] Hook: Return Code: 3"));
    EXPECT_TRUE(log.contains("Hook: \"sh -c 'echo \"$0\" > " + file + "; exit 3' fd00::1\" : System Return: 768"));
    EXPECT_EQ(doip::RunHook("true", "127.0.0.1"), 0);
    // A hook ended by a signal never counts as success.
    EXPECT_NE(doip::RunHook("kill -9 $$ #", "127.0.0.1"), 0);
    std::remove(file.c_str());
}

}  // namespace
