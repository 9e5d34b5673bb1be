// DoIP wire format: header building, vehicle identity parsing, reception limits, code texts.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "doip/wire/doip_wire.h"
#include "sockets/tcp_socket.h"
#include "support/log_capture.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct VersionGuard {
    explicit VersionGuard(uint8_t v) : saved(DOIPIF__u8ProtocolVersion) { DOIPIF__u8ProtocolVersion = v; }
    ~VersionGuard() { DOIPIF__u8ProtocolVersion = saved; }
    uint8_t saved;
};

TEST(DoipWire, HeadersCarryTheConfiguredVersionExceptIdentificationRequests) {
    VersionGuard v3(3);
    EXPECT_EQ(doip::CreateBaseDatagram(0x0005, 7), (Bytes{0x03, 0xFC, 0x00, 0x05, 0x00, 0x00, 0x00, 0x07}));
    EXPECT_EQ(doip::BuildRoutingActivationRequest(0x0E80, DOIPIF__u8ProtocolVersion),
              (Bytes{0x03, 0xFC, 0x00, 0x05, 0x00, 0x00, 0x00, 0x07, 0x0E, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Bytes(doip::kVehicleIdentificationRequestDatagram, doip::kVehicleIdentificationRequestDatagram + 8),
              (Bytes{0x02, 0xFD, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(doip::BuildAliveCheckResponse(0x0E80, 2), (Bytes{0x02, 0xFD, 0x00, 0x08, 0, 0, 0, 2, 0x0E, 0x80}));
    const uint8_t uds[] = {0x22, 0xF1, 0x87};
    EXPECT_EQ(doip::BuildDiagnosticMessage(0x0E80, 0x1014, uds, 3, 2),
              (Bytes{0x02, 0xFD, 0x80, 0x01, 0, 0, 0, 7, 0x0E, 0x80, 0x10, 0x14, 0x22, 0xF1, 0x87}));
    // A payload length beyond 16 bits goes out big-endian in all four bytes.
    EXPECT_EQ(doip::CreateBaseDatagram(0x8001, 0x012345, 2), (Bytes{0x02, 0xFD, 0x80, 0x01, 0x00, 0x01, 0x23, 0x45}));
    doip::Header h = doip::ParseHeader(doip::CreateBaseDatagram(0x8002, 100000, 0xFF).data());
    EXPECT_EQ(h.version, 0xFF);
    EXPECT_EQ(h.inverseVersion, 0x00);
    EXPECT_EQ(h.payloadType, 0x8002);
    EXPECT_EQ(h.payloadLength, 100000u);
    EXPECT_TRUE(doip::IsHeaderValid(h));
    h.inverseVersion = 0x01;
    EXPECT_FALSE(doip::IsHeaderValid(h));
}

// A 41-byte announcement from `address`, with a VIN of 'A'..'Q', EID 1..6 and GID 0x11..0x16.
Bytes Announcement(uint16_t address) {
    uint8_t vin[17], eid[6], gid[6];
    for (int i = 0; i < 17; ++i) vin[i] = static_cast<uint8_t>('A' + i);
    for (int i = 0; i < 6; ++i) eid[i] = static_cast<uint8_t>(1 + i), gid[i] = static_cast<uint8_t>(0x11 + i);
    return doip::BuildVehicleAnnouncement(vin, address, eid, gid);
}

uint16_t Process(const Bytes& datagram, int size, std::vector<std::string>* lines = nullptr) {
    uint8_t buffer[41] = {};
    std::memcpy(buffer, datagram.data(), std::min<size_t>(datagram.size(), 41));
    std::function<void(const std::string&)> print;
    if (lines) print = [lines](const std::string& l) { lines->push_back(l); };
    return doip::ProcessVehicleIdentity(buffer, size, print);
}

TEST(DoipWire, VehicleIdentityIsValidatedInOrder) {
    const Bytes good = Announcement(0x1014);
    ASSERT_EQ(good.size(), 41u);
    struct Case {
        const char* name;
        Bytes datagram;
        int size;
        const char* error;  // null: accepted
    };
    Bytes badInverse = good;
    badInverse[1] = 0x00;
    Bytes ffVersion = good;
    ffVersion[0] = 0xFF;
    ffVersion[1] = 0x00;
    Bytes wrongType = good;
    wrongType[3] = 0x05;
    Bytes short32 = good;  // 40 bytes: no synchronisation status
    short32[7] = 32;
    short32.pop_back();
    Bytes longer = good;
    longer.push_back(0xEE);
    longer[7] = 34;
    const Case cases[] = {
        {"eight bytes only", good, 8, "DoipChannel: amount of bytes less than size of header"},
        {"inverse 00 behind 02", badInverse, 41, "DoipChannel: not valid header"},
        {"version FF inverse 00", ffVersion, 41, nullptr},
        {"routing response type", wrongType, 41, "DoipChannel: Payload type is not Vehicle Announcement"},
        {"payload of 32", short32, 40, "DoipChannel: Message payload too small"},
        {"longer than 41", longer, 41, nullptr},
        // Only the size is compared with 9: bytes that did not arrive are taken from the buffer.
        {"nine bytes of a full header", good, 9, nullptr},
    };
    for (const auto& c : cases) {
        LogCapture log;
        const uint16_t address = Process(c.datagram, c.size);
        EXPECT_EQ(address, c.error ? 0 : 0x1014) << c.name;
        if (c.error) EXPECT_TRUE(log.contains(std::string(": [ERR    ] [KSTRMF] ") + c.error)) << c.name;
        else EXPECT_TRUE(log.contains("DoipChannel: Valid Vehicle Identity from 0x1014")) << c.name;
        EXPECT_TRUE(log.contains("DoipChannel: VehicleIdentity Received " + std::to_string(c.size) + " bytes: \""))
            << c.name;
    }
}

TEST(DoipWire, VehicleIdentityDisplayLines) {
    std::vector<std::string> lines;
    EXPECT_EQ(Process(Announcement(0x00AB), 41, &lines), 0x00AB);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "Logical Address: 0xab");
    EXPECT_EQ(lines[1], "VIN:41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E 4F 50 51");
    EXPECT_EQ(lines[2], "EID:01 02 03 04 05 06");
    EXPECT_EQ(lines[3], "GID:11 12 13 14 15 16");
    lines.clear();
    EXPECT_EQ(Process(Announcement(0x0000), 41, &lines), 0);  // address 0 reads as "not valid"
}

TEST(DoipWire, HexTextWithAndWithoutSeparator) {
    const uint8_t bytes[] = {0x0A, 0x1B, 0xFF};
    EXPECT_EQ(data2hex::ArrayToHexString<data2hex::CharacterSeparator<' '>>(bytes, 3), "0A 1B FF");
    EXPECT_EQ(data2hex::ArrayToHexString<data2hex::NoSeparator>(bytes, 3), "0A1BFF");
    EXPECT_EQ(data2hex::ArrayToHexString<data2hex::CharacterSeparator<' '>>(bytes, 1), "0A");
    EXPECT_EQ(data2hex::ArrayToHexString<data2hex::CharacterSeparator<' '>>(bytes, 0), "");
    EXPECT_EQ(data2hex::ArrayToHexString<data2hex::NoSeparator>(nullptr, 5), "");
    EXPECT_STREQ(data2hex::ByteToHex, "0123456789ABCDEF");
}

TEST(DoipWire, FormatCutsAt199Characters) {
    EXPECT_EQ(doip::format("DOIP: Unexpected payload type: %x", static_cast<uint16_t>(0x8003)),
              "DOIP: Unexpected payload type: 8003");
    const std::string longFormat = std::string(250, 'x') + "%u";
    EXPECT_EQ(doip::format(longFormat.c_str(), static_cast<uint32_t>(7)), std::string(199, 'x'));
}

TEST(DoipWire, AcknowledgementTextsAndEchoComparison) {
    const std::pair<uint8_t, const char*> texts[] = {
        {0x00, "positive ACK"},       {0x01, "unknown ACK code 0x01"},  {0x02, "invalid source address"},
        {0x03, "unknown target address"}, {0x04, "maximum message length exceeded"}, {0x05, "out of memory"},
        {0x06, "target unreachable"}, {0x07, "unknown network"},        {0x08, "transport protocol error"},
        {0x99, "unknown ACK code 0x99"},
    };
    for (const auto& t : texts) EXPECT_EQ(DOIP__vLogDiagnosticMessageACKCode(t.first), t.second);

    const uint8_t request[] = {0x36, 0x01, 0xAA, 0xBB};
    const uint8_t shortEcho[] = {0x36, 0x01};
    const uint8_t otherEcho[] = {0x36, 0x02};
    const uint8_t longEcho[] = {0x36, 0x01, 0xAA, 0xBB, 0xCC};
    EXPECT_TRUE(DOIP__boCheckDiagnosticMessageResponse(2, shortEcho, 4, request));
    EXPECT_FALSE(DOIP__boCheckDiagnosticMessageResponse(2, otherEcho, 4, request));
    EXPECT_TRUE(DOIP__boCheckDiagnosticMessageResponse(5, longEcho, 4, request));
    EXPECT_TRUE(DOIP__boCheckDiagnosticMessageResponse(0, nullptr, 4, request));
}

TEST(DoipWire, RoutingActivationCodeTexts) {
    const struct {
        uint8_t code;
        const char* line;
    } cases[] = {
        {0x00, ": [ERR    ] [KSTRMF] DOIP: Routing activation failed: unknown source address"},
        {0x01, ": [ERR    ] [KSTRMF] DOIP: Routing activation failed: maximum number of allowed simultaneous connections exceeded"},
        {0x02, ": [ERR    ] [KSTRMF] DOIP: Routing activation failed: activation for different source address has been already requested"},
        {0x03, ": [ERR    ] [KSTRMF] DOIP: Routing activation failed: activation for the same source address has been already requested"},
        {0x04, ": [ERR    ] [KSTRMF] DOIP: Routing activation failed: authentication required"},
        {0x05, ": [ERR    ] [KSTRMF] DOIP: Routing activation failed: confirmation rejected"},
        {0x06, ": [ERR    ] [KSTRMF] DOIP: Routing activation failed: unsupported activation type"},
        {0x10, ": [DBG2   ] [KSTRMF] DOIP: Routing has been activated successfully"},
        {0x11, ": [DBG2   ] [KSTRMF] DOIP: Routing will be activated after a confirmation"},
        {0x07, ": [ERR    ] [KSTRMF] DOIP: Routing activation failed: unknown response code 0x07"},
        {0xAB, ": [ERR    ] [KSTRMF] DOIP: Routing activation failed: unknown response code 0xAB"},
    };
    for (const auto& c : cases) {
        LogCapture log;
        DOIP__vLogRoutingActivationResponseCode(c.code);
        EXPECT_TRUE(log.contains(c.line)) << static_cast<int>(c.code) << "\n" << log.text();
    }
}

// A connected loopback pair: the test writes raw bytes on `peer`, the code reads on `socket`.
struct WirePair {
    WirePair() {
        EXPECT_TRUE(listener.open("127.0.0.1", 0));
        sockets::SocketOptions o;
        o.targetIp = "127.0.0.1";
        o.targetPort = listener.port();
        EXPECT_TRUE(socket.open(o));
        peer = listener.accept(5000);
    }
    ~WirePair() {
        if (peer >= 0) ::close(peer);
    }
    void send(const Bytes& b) const { ::send(peer, b.data(), b.size(), MSG_NOSIGNAL); }
    sockets::TcpListener listener;
    TCPSocket socket;
    int peer = -1;
};

TEST(DoipWire, ReadMessageAppliesTheReceptionLimits) {
    {
        WirePair pair;
        Bytes payload(100000, 0x5A);
        std::thread writer([&] { pair.send(doip::BuildMessage(0x8001, payload, 0x02)); });
        DoipMessage m = doip::ReadMessage(pair.socket, 2000);
        writer.join();
        EXPECT_EQ(m.payloadType, 0x8001);
        EXPECT_EQ(m.payload.size(), 100000u);
        // An empty payload and a version other than the configured one are fine.
        pair.send(doip::BuildAliveCheckRequest(0x07));
        m = doip::ReadMessage(pair.socket, 2000);
        EXPECT_EQ(m.payloadType, 0x0007);
        EXPECT_TRUE(m.payload.empty());
    }
    const struct {
        Bytes header;
        const char* error;
    } refused[] = {
        {doip::CreateBaseDatagram(0x8001, 100001, 0x02), "DoipChannel: Message payload too large"},
        {Bytes{0x02, 0x00, 0x80, 0x01, 0, 0, 0, 4}, "DoipChannel: not valid header"},
    };
    for (const auto& r : refused) {
        WirePair pair;
        pair.send(r.header);
        try {
            doip::ReadMessage(pair.socket, 2000);
            ADD_FAILURE() << r.error;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), r.error);
        }
    }
}

TEST(DoipWire, PayloadFailuresAreRewrappedOnlyForTheFlasher) {
    {
        WirePair pair;
        LogCapture log;
        pair.send(doip::CreateBaseDatagram(0x8001, 10, 0x02));
        pair.send({1, 2, 3});
        try {
            doip::ReadMessage(pair.socket, 50);
            ADD_FAILURE();
        } catch (const TcpTimeout&) {
            ADD_FAILURE() << "not rewrapped";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "DoipChannel: header is ok, Can't get payload");
        }
        EXPECT_TRUE(log.contains(": [DBG2   ] [KSTRMF] TCP: TCP: socket poll() timed out"));
    }
    {
        WirePair pair;
        pair.send(doip::CreateBaseDatagram(0x8001, 10, 0x02));
        EXPECT_THROW(doip::ReadMessage(pair.socket, 50, false), TcpTimeout);
    }
    {
        WirePair pair;  // nothing at all: the header read's own exception passes through
        EXPECT_THROW(doip::ReadMessage(pair.socket, 20), TcpTimeout);
    }
}

}  // namespace
