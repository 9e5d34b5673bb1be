// The DoIP front-end answers hand-built requests with the bytes of the wire format, over IPv4
// and IPv6 loopback, and injects its connection faults.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "sim/doip_server.h"
#include "sim/ecu_model.h"
#include "sim/sha256.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& h) {
    Bytes out;
    for (size_t i = 0; i < h.size();) {
        if (h[i] == ' ') { ++i; continue; }
        out.push_back(uint8_t(std::stoi(h.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return out;
}

// A raw client socket to the server (TCP or UDP), closed on destruction.
class Client {
public:
    Client(const std::string& ip, uint16_t port, int type) {
        const bool v6 = ip.find(':') != std::string::npos;
        fd_ = ::socket(v6 ? AF_INET6 : AF_INET, type, 0);
        std::memset(&addr_, 0, sizeof addr_);
        if (v6) {
            auto* a = reinterpret_cast<sockaddr_in6*>(&addr_);
            a->sin6_family = AF_INET6;
            a->sin6_port = htons(port);
            inet_pton(AF_INET6, ip.c_str(), &a->sin6_addr);
            len_ = sizeof(sockaddr_in6);
        } else {
            auto* a = reinterpret_cast<sockaddr_in*>(&addr_);
            a->sin_family = AF_INET;
            a->sin_port = htons(port);
            inet_pton(AF_INET, ip.c_str(), &a->sin_addr);
            len_ = sizeof(sockaddr_in);
        }
        if (type == SOCK_STREAM) connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr_), len_) == 0;
    }
    ~Client() { ::close(fd_); }
    bool connected() const { return connected_; }
    void send(const Bytes& b) {
        if (connected_) ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL);
        else ::sendto(fd_, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&addr_), len_);
    }
    // One UDP datagram, or one TCP DoIP message (header + payload); empty after 2 s or on close.
    Bytes receive() {
        if (!connected_) {
            Bytes buf(512);
            if (!wait()) return {};
            const ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
            buf.resize(n > 0 ? size_t(n) : 0);
            return buf;
        }
        Bytes h = exact(8);
        if (h.size() != 8) return {};
        const uint32_t len = uint32_t(h[4]) << 24 | uint32_t(h[5]) << 16 | uint32_t(h[6]) << 8 | h[7];
        Bytes p = exact(len);
        h.insert(h.end(), p.begin(), p.end());
        return h;
    }
    bool closedByPeer() {
        if (!wait()) return false;
        char c;
        return ::recv(fd_, &c, 1, 0) <= 0;
    }

private:
    bool wait() {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, 2000) == 1;
    }
    Bytes exact(size_t n) {
        Bytes out(n);
        size_t done = 0;
        while (done < n) {
            if (!wait()) return {};
            const ssize_t r = ::recv(fd_, out.data() + done, n - done, 0);
            if (r <= 0) return {};
            done += size_t(r);
        }
        return out;
    }
    int fd_;
    sockaddr_storage addr_;
    socklen_t len_ = 0;
    bool connected_ = false;
};

std::string hex(const Bytes& b) { return ecusim::toHex(b); }

}  // namespace

TEST(SimDoipServer, AnswersWithTheWireFormatOnIpv4AndIpv6) {
    for (const std::string ip : {"127.0.0.1", "::1"}) {
        SCOPED_TRACE(ip);
        ecusim::EcuModel model{ecusim::EcuConfig()};
        ecusim::DoipServerConfig cfg;
        cfg.ip = ip;
        cfg.port = 0;
        ecusim::DoipServer server(model, cfg);
        server.start();

        Client udp(ip, server.udpPort(), SOCK_DGRAM);
        udp.send(fromHex("02 FD 00 01 00 00 00 00"));
        // VIN "WVWZZZ1KZSIM00001", address 1014, EID, GID, further action 00, sync 00.
        EXPECT_EQ(hex(udp.receive()),
                  "02FD000400000021" + hex(Bytes{'W', 'V', 'W', 'Z', 'Z', 'Z', '1', 'K', 'Z', 'S', 'I', 'M', '0', '0', '0', '0', '1'}) +
                      "1014" "020000001014" "020000000000" "0000");

        Client tcp(ip, server.tcpPort(), SOCK_STREAM);
        ASSERT_TRUE(tcp.connected());
        tcp.send(fromHex("02 FD 00 05 00 00 00 07 0E 80 00 00 00 00 00"));
        EXPECT_EQ(hex(tcp.receive()), "02FD000600000009" "0E80" "1014" "10" "00000000");
        tcp.send(fromHex("02 FD 80 01 00 00 00 07 0E 80 10 14 22 F1 89"));
        EXPECT_EQ(hex(tcp.receive()), "02FD800200000008" "1014" "0E80" "00" "22F189");
        EXPECT_EQ(hex(tcp.receive()), "02FD80010000000B" "1014" "0E80" "62F189" "30323230");
        // Functional TesterPresent with suppressed answer: acknowledged by the functional address only.
        tcp.send(fromHex("02 FD 80 01 00 00 00 06 0E 80 E4 00 3E 80"));
        EXPECT_EQ(hex(tcp.receive()), "02FD800200000007" "E400" "0E80" "00" "3E80");
        server.requestAliveCheck();
        EXPECT_EQ(hex(tcp.receive()), "02FD000700000000");
        // Unknown target address: negative acknowledgement 03.
        tcp.send(fromHex("02 FD 80 01 00 00 00 07 0E 80 12 34 22 F1 89"));
        EXPECT_EQ(hex(tcp.receive()), "02FD800300000005" "1234" "0E80" "03");
        server.stop();
        EXPECT_EQ(model.report().requests.size(), 2u);
    }
}

TEST(SimDoipServer, RoutingRefusedForAnotherTesterOrByFault) {
    struct Case {
        const char* what;
        int refuse;
        const char* request;
        const char* answer;
    } cases[] = {
        {"unknown tester address", 0, "02 FD 00 05 00 00 00 07 0E 81 00 00 00 00 00", "02FD0006000000090E8110140000000000"},
        {"injected refusal", 1, "02 FD 00 05 00 00 00 07 0E 80 00 00 00 00 00", "02FD0006000000090E8010140600000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ecusim::EcuModel model{ecusim::EcuConfig()};
        ecusim::DoipServerConfig cfg;
        cfg.port = 0;
        cfg.faults.refuseRouting = c.refuse;
        cfg.faults.refuseRoutingCode = 0x06;
        ecusim::DoipServer server(model, cfg);
        server.start();
        Client tcp("127.0.0.1", server.tcpPort(), SOCK_STREAM);
        tcp.send(fromHex(c.request));
        EXPECT_EQ(hex(tcp.receive()), c.answer);
        EXPECT_TRUE(tcp.closedByPeer());
    }
}

TEST(SimDoipServer, AckFaultsAndDroppedConnection) {
    ecusim::EcuModel model{ecusim::EcuConfig()};
    ecusim::DoipServerConfig cfg;
    cfg.port = 0;
    cfg.faults.missingAckAt = 1;
    cfg.faults.negativeAckAt = 2;
    cfg.faults.dropAfterTransferData = 1;
    cfg.faults.dropBeforeAnswer = true;
    ecusim::DoipServer server(model, cfg);
    server.start();
    Client tcp("127.0.0.1", server.tcpPort(), SOCK_STREAM);
    tcp.send(fromHex("02 FD 00 05 00 00 00 07 0E 80 00 00 00 00 00"));
    EXPECT_EQ(tcp.receive().size(), 17u);
    tcp.send(fromHex("02 FD 80 01 00 00 00 07 0E 80 10 14 22 F1 89"));  // lost
    tcp.send(fromHex("02 FD 80 01 00 00 00 07 0E 80 10 14 22 F1 89"));  // negative ack
    EXPECT_EQ(hex(tcp.receive()), "02FD800300000005" "1014" "0E80" "08");
    tcp.send(fromHex("02 FD 80 01 00 00 00 07 0E 80 10 14 36 01 00"));  // acked, then dropped
    EXPECT_EQ(hex(tcp.receive()), "02FD800200000008" "1014" "0E80" "00" "360100");
    EXPECT_TRUE(tcp.closedByPeer());
    server.stop();
    const ecusim::Report r = model.report();
    ASSERT_EQ(r.requests.size(), 1u);  // only the TransferData reached the ECU
    EXPECT_EQ(r.requests[0].head[0], 0x36);
    EXPECT_GE(r.connectionsLost, 1);
}
