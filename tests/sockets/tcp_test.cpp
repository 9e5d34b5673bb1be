// TCP socket: resolution, connect, exact reads, timeouts, broken connections, shutdown.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <thread>

#include "sockets/capture_flavor.h"
#include "sockets/tcp_socket.h"

namespace {

sockets::SocketOptions Target(const std::string& ip, uint16_t port) {
    sockets::SocketOptions o;
    o.targetIp = ip;
    o.targetPort = port;
    return o;
}

// A listener on a free loopback port and one accepted peer descriptor.
struct LoopbackPair {
    explicit LoopbackPair(const std::string& ip, const sockets::Flavor& flavor = sockets::FlasherFlavor())
        : client(flavor) {
        EXPECT_TRUE(listener.open(ip, 0));
        EXPECT_TRUE(client.open(Target(ip, listener.port())));
        peer = listener.accept(5000);
        EXPECT_GE(peer, 0);
    }
    ~LoopbackPair() {
        if (peer >= 0) ::close(peer);
    }
    void send(const std::vector<uint8_t>& bytes) const {
        ASSERT_EQ(::send(peer, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    sockets::TcpListener listener;
    TCPSocket client;
    int peer = -1;
};

TEST(SocketResolve, NumericAddressPicksTheFamilyAndHostNamesFail) {
    struct Case {
        const char* ip;
        int family;
    } cases[] = {{"fd00::1", AF_INET6}, {"192.168.1.10", AF_INET}, {"::1", AF_INET6}, {"127.0.0.1", AF_INET}};
    for (const auto& c : cases) {
        auto info = sockets::GetAddressInfo(Target(c.ip, 13400), SOCK_STREAM, IPPROTO_TCP);
        ASSERT_TRUE(info) << c.ip;
        EXPECT_EQ(info->ai_family, c.family) << c.ip;
        EXPECT_EQ(info->ai_socktype, SOCK_STREAM);
    }
    CapturedLines::clear();
    TCPSocket socket(CaptureFlasherFlavor());
    EXPECT_FALSE(socket.open(Target("localhost", 13400)));
    EXPECT_TRUE(CapturedLines::has("Error:DOIP: invalid IP address and/or port specified: localhost:13400 . Error: "));
    EXPECT_FALSE(socket.isAlive());
}

TEST(SocketAddress, BuildsAnyAddressForNonAddressText) {
    auto v4 = sockets::CreateSocketAddress(AF_INET, "not an address", 1234);
    EXPECT_EQ(v4.length, sizeof(sockaddr_in));
    EXPECT_EQ(v4.port(), 1234);
    EXPECT_EQ(sockets::GetAddressOfSocketAddress(v4.get()), "0.0.0.0");
    auto v6 = sockets::CreateSocketAddress(AF_INET6, nullptr, 7);
    EXPECT_EQ(v6.length, sizeof(sockaddr_in6));
    EXPECT_EQ(sockets::GetAddressOfSocketAddress(v6.get()), "::");
    EXPECT_EQ(sockets::CreateSocketAddress(AF_UNIX, "x", 1).length, 0u);
    EXPECT_EQ(sockets::GetAddressOfSocketAddress(nullptr), "");

    auto a = sockets::CreateSocketAddress(AF_INET6, "::1", 1);
    auto b = sockets::CreateSocketAddress(AF_INET6, "::1", 2);
    auto c = sockets::CreateSocketAddress(AF_INET, "127.0.0.1", 1);
    EXPECT_TRUE(sockets::AreEqualSocketAddress(a.get(), b.get()));  // ports are not compared
    EXPECT_FALSE(sockets::AreEqualSocketAddress(a.get(), c.get()));
}

TEST(TcpSocket, ReadsExactLengthsFromPiecesOnIpv4AndIpv6) {
    for (const char* ip : {"127.0.0.1", "::1"}) {
        LoopbackPair pair(ip);
        ASSERT_TRUE(pair.client.isAlive());
        std::thread writer([&] {
            pair.send({1, 2, 3});
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            pair.send({4, 5, 6, 7, 8, 9});
        });
        uint8_t buf[8] = {};
        pair.client.read(8, buf, 2000);
        writer.join();
        EXPECT_EQ(std::vector<uint8_t>(buf, buf + 8), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8})) << ip;
        uint8_t rest = 0;
        pair.client.read(1, &rest, 2000);
        EXPECT_EQ(rest, 9);
        pair.client.read(0, nullptr, 0);  // nothing to do, no poll
    }
}

TEST(TcpSocket, PartialDataThenSilenceTimesOutCarryingTheTimeout) {
    LoopbackPair pair("127.0.0.1");
    pair.send({1, 2, 3, 4});
    uint8_t buf[8];
    try {
        pair.client.read(8, buf, 100);
        FAIL() << "no exception";
    } catch (const TcpTimeout& e) {
        EXPECT_EQ(e.timeout, 100);
        EXPECT_STREQ(e.what(), "TCP: socket poll() timed out");
    }
}

TEST(TcpSocket, PeerClosingAfterPartialDataBreaksTheConnection) {
    for (bool tool : {false, true}) {
        CapturedLines::clear();
        LoopbackPair pair("127.0.0.1", tool ? CaptureToolFlavor() : CaptureFlasherFlavor());
        pair.send({1, 2, 3, 4});
        ::close(pair.peer);
        pair.peer = -1;
        uint8_t buf[8];
        EXPECT_THROW(pair.client.read(8, buf, 1000), TcpConnectionBroken);
        EXPECT_EQ(CapturedLines::has("TCPSocket: recv returned zero"), !tool);
    }
}

TEST(TcpSocket, WriteToAResetPeerThrowsWithTheReason) {
    for (bool tool : {false, true}) {
        LoopbackPair pair("127.0.0.1", tool ? CaptureToolFlavor() : CaptureFlasherFlavor());
        linger hard{1, 0};  // close with RST
        setsockopt(pair.peer, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(pair.peer);
        pair.peer = -1;
        std::vector<uint8_t> data(1000, 0xAA);
        std::string text;
        try {
            for (int i = 0; i < 1000; ++i) {
                pair.client.write(static_cast<int>(data.size()), data.data());
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        } catch (const std::runtime_error& e) {
            text = e.what();
        }
        if (tool) {
            EXPECT_EQ(text, "TCP socket write() failed");
        } else {
            EXPECT_EQ(text.rfind("TCP: socket write() failed, because of ", 0), 0u) << text;
            EXPECT_GT(text.size(), std::string("TCP: socket write() failed, because of ").size());
        }
    }
}

TEST(TcpSocket, RefusedConnectShowsUpAtTheFirstRead) {
    // A port nobody listens on: the non-blocking connect reports writable (the pending
    // error is not queried), so the refusal surfaces on first use.
    uint16_t port;
    {
        sockets::TcpListener probe;
        ASSERT_TRUE(probe.open("127.0.0.1", 0));
        port = probe.port();
    }
    TCPSocket socket;
    if (!socket.open(Target("127.0.0.1", port))) SUCCEED() << "connect refused at once";
    else {
        uint8_t b;
        EXPECT_THROW(socket.read(1, &b, 1000), std::runtime_error);
    }
}

TEST(TcpSocket, ConnectToAServerThatNeverAnswersGivesUpAfterOneSecond) {
    // A listener with a full accept queue drops further SYNs, so the connect stays pending.
    sockets::TcpListener listener;
    ASSERT_TRUE(listener.open("127.0.0.1", 0));
    ::listen(listener.fd(), 0);
    std::vector<std::unique_ptr<TCPSocket>> fillers;
    CapturedLines::clear();
    bool failed = false;
    for (int i = 0; i < 8 && !failed; ++i) {
        fillers.emplace_back(new TCPSocket(CaptureFlasherFlavor()));
        failed = !fillers.back()->open(Target("127.0.0.1", listener.port()));
    }
    ASSERT_TRUE(failed) << "the kernel accepted every connection";
    EXPECT_TRUE(CapturedLines::has("Debug:Connect: In progress - wait connection"));
    EXPECT_TRUE(CapturedLines::has("Error:TCP: connect failed"));
}

TEST(TcpSocket, BindsTheSourcePortWithReuse) {
    uint16_t port;
    {
        sockets::TcpListener probe;
        ASSERT_TRUE(probe.open("127.0.0.1", 0));
        port = probe.port();
    }
    sockets::TcpListener listener;
    ASSERT_TRUE(listener.open("127.0.0.1", 0));
    sockets::SocketOptions o = Target("127.0.0.1", listener.port());
    o.bindSource = true;
    o.sourcePort = port;
    TCPSocket socket;
    ASSERT_TRUE(socket.open(o));
    sockaddr_in local{};
    socklen_t len = sizeof local;
    getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&local), &len);
    EXPECT_EQ(ntohs(local.sin_port), port);
    int reuse = 0;
    len = sizeof reuse;
    getsockopt(socket.fd(), SOL_SOCKET, SO_REUSEADDR, &reuse, &len);
    EXPECT_EQ(reuse, 1);
}

TEST(TcpSocket, LingeringShutdownEndsWhileThePeerKeepsSending) {
    LoopbackPair pair("127.0.0.1");
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        std::vector<uint8_t> chunk(256, 0x55);
        while (!stop) {
            if (::send(pair.peer, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    auto done = std::async(std::launch::async, [&] { pair.client.shutdown(); });
    // Generous bound: only a hang fails this.
    EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    stop = true;
    flood.join();
    EXPECT_FALSE(pair.client.isAlive());
}

TEST(TcpSocket, LingeringShutdownSendsAnOrderlyEndOfStream) {
    LoopbackPair pair("::1");
    auto done = std::async(std::launch::async, [&] { pair.client.shutdown(); });
    uint8_t b;
    EXPECT_EQ(::recv(pair.peer, &b, 1, 0), 0);  // FIN seen while the client still lingers
    ::close(pair.peer);
    pair.peer = -1;
    done.wait();
}

TEST(SocketPoll, ToolFlavourLogsTimeoutsAndFlasherFlavourStaysQuiet) {
    LoopbackPair pair("127.0.0.1");
    CapturedLines::clear();
    bool alive = false;
    EXPECT_FALSE(sockets::IsDataAvailable(pair.client.fd(), 10, alive, CaptureFlasherFlavor()));
    EXPECT_TRUE(alive);
    EXPECT_FALSE(CapturedLines::has("Poll"));
    EXPECT_FALSE(sockets::IsDataAvailable(pair.client.fd(), 10, CaptureToolFlavor()));
    EXPECT_TRUE(CapturedLines::has("Error:Poll: reception timeout 10 ms"));
    EXPECT_TRUE(sockets::IsSocketWritable(pair.client.fd(), 10));
}

}  // namespace
