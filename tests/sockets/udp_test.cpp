// UDP socket: remote-address check, any-sender reads, send failures, multicast membership.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "sockets/capture_flavor.h"
#include "sockets/udp_socket.h"

namespace {

sockets::SocketOptions Options(const std::string& ip, uint16_t targetPort, uint16_t sourcePort, bool bind) {
    sockets::SocketOptions o;
    o.targetIp = ip;
    o.targetPort = targetPort;
    o.sourcePort = sourcePort;
    o.bindSource = bind;
    return o;
}

TEST(UdpSocket, AcceptsTheRemoteHostAndDropsOthers) {
    // Receiver tied to ::1; one sender on ::1, another on 127.0.0.1 (arrives as ::ffff:127.0.0.1).
    UdpSocket receiver(CaptureFlasherFlavor());
    ASSERT_TRUE(receiver.open(Options("::1", 9, 0, true)));
    const uint16_t port = receiver.localPort();
    ASSERT_NE(port, 0);

    UdpSocket fromSame;
    ASSERT_TRUE(fromSame.open(Options("::1", port, 0, false)));
    UdpSocket fromOther;
    ASSERT_TRUE(fromOther.open(Options("127.0.0.1", port, 0, false)));
    const uint8_t data[3] = {1, 2, 3};
    uint8_t buf[41];

    CapturedLines::clear();
    ASSERT_TRUE(fromOther.write(3, data));
    EXPECT_EQ(receiver.read(sizeof buf, buf, 2000), 0);
    EXPECT_TRUE(CapturedLines::has("Error:UDP: address is not expected target ::1"));
    ASSERT_TRUE(fromOther.write(3, data));
    EXPECT_EQ(receiver.readAny(sizeof buf, buf, 2000), 3);
    ASSERT_TRUE(fromSame.write(3, data));
    EXPECT_EQ(receiver.read(sizeof buf, buf, 2000), 3);
    EXPECT_TRUE(CapturedLines::has("Debug:UDP: received datagram from the address ::1"));

    EXPECT_EQ(receiver.read(sizeof buf, buf, 10), 0);  // nothing: 0 after the timeout
    EXPECT_EQ(receiver.readAny(sizeof buf, buf, 10), 0);
    receiver.close();
    EXPECT_EQ(receiver.read(sizeof buf, buf, 10), 0);
    EXPECT_FALSE(receiver.write(3, data));
}

TEST(UdpSocket, LongDatagramsAreCutToTheBuffer) {
    UdpSocket receiver;
    ASSERT_TRUE(receiver.open(Options("127.0.0.1", 9, 0, true)));
    UdpSocket sender;
    ASSERT_TRUE(sender.open(Options("127.0.0.1", receiver.localPort(), 0, false)));
    std::vector<uint8_t> big(60, 0x11);
    ASSERT_TRUE(sender.write(static_cast<int>(big.size()), big.data()));
    uint8_t buf[41];
    EXPECT_EQ(receiver.readAny(sizeof buf, buf, 2000), 41);
}

TEST(UdpSocket, FailedSendLogsCountAndSize) {
    for (bool tool : {false, true}) {
        CapturedLines::clear();
        UdpSocket sender(tool ? CaptureToolFlavor() : CaptureFlasherFlavor());
        ASSERT_TRUE(sender.open(Options("127.0.0.1", 9, 0, false)));
        std::vector<uint8_t> tooBig(70000, 0);
        EXPECT_FALSE(sender.write(static_cast<int>(tooBig.size()), tooBig.data()));
        const std::string prefix = tool ? "Error:DOIP: datagram transmission failed (written "
                                        : "Error:UDP: datagram transmission failed (written ";
        EXPECT_TRUE(CapturedLines::has(prefix)) << tool;
        EXPECT_TRUE(CapturedLines::has(", expected 70000)"));
    }
}

TEST(UdpSocket, MulticastMembership) {
    CapturedLines::clear();
    UdpSocket notAGroup(CaptureFlasherFlavor());
    sockets::SocketOptions o = Options("::1", 9, 0, false);
    o.joinMulticast = true;
    EXPECT_FALSE(notAGroup.open(o));
    EXPECT_TRUE(CapturedLines::has("Error:UDP: setsockopt IPV6_ADD_MEMBERSHIP failed: "));
    EXPECT_EQ(notAGroup.fd(), -1);

    // The tool's build has no multicast step.
    UdpSocket tool(CaptureToolFlavor());
    EXPECT_TRUE(tool.open(o));

    // The all-nodes group: joined where the host has IPv6 multicast.
    UdpSocket group(CaptureFlasherFlavor());
    sockets::SocketOptions g = Options("FF02::1", 9, 0, true);
    g.joinMulticast = true;
    if (!group.open(g)) GTEST_SKIP() << "no IPv6 multicast on this host";
    EXPECT_NE(group.localPort(), 0);
}

TEST(UdpSocket, BindsAnyAddressOnTheSourcePort) {
    uint16_t port;
    {
        UdpSocket probe;
        ASSERT_TRUE(probe.open(Options("::1", 9, 0, true)));
        port = probe.localPort();
    }
    UdpSocket a;
    ASSERT_TRUE(a.open(Options("::1", 9, port, true)));
    EXPECT_EQ(a.localPort(), port);
    sockaddr_in6 local{};
    socklen_t len = sizeof local;
    getsockname(a.fd(), reinterpret_cast<sockaddr*>(&local), &len);
    EXPECT_EQ(std::memcmp(&local.sin6_addr, &in6addr_any, sizeof(in6_addr)), 0);
}

}  // namespace
