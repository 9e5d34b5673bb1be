#include "doip/wire/doip_wire.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "logging/log.h"
#include "sockets/tcp_socket.h"

uint8_t DOIPIF__u8ProtocolVersion = doip::kDefaultVersion;

namespace data2hex {
const char ByteToHex[17] = "0123456789ABCDEF";
}

namespace doip {

template std::string format<uint16_t>(const char*, uint16_t);
template std::string format<uint32_t>(const char*, uint32_t);

const uint8_t kVehicleIdentificationRequestDatagram[8] = {0x02, 0xFD, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00};

void PutU16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    PutU16(out, static_cast<uint16_t>(value >> 16));
    PutU16(out, static_cast<uint16_t>(value));
}

uint16_t GetU16(const uint8_t* bytes) { return static_cast<uint16_t>((bytes[0] << 8) | bytes[1]); }

uint32_t GetU32(const uint8_t* bytes) {
    return (static_cast<uint32_t>(GetU16(bytes)) << 16) | GetU16(bytes + 2);
}

Header ParseHeader(const uint8_t* bytes) {
    Header header;
    header.version = bytes[0];
    header.inverseVersion = bytes[1];
    header.payloadType = GetU16(bytes + 2);
    header.payloadLength = GetU32(bytes + 4);
    return header;
}

bool IsHeaderValid(const Header& header) { return static_cast<uint8_t>(header.version ^ 0xFF) == header.inverseVersion; }

std::vector<uint8_t> CreateBaseDatagram(uint16_t payloadType, int payloadLength, uint8_t version) {
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + static_cast<size_t>(std::max(payloadLength, 0)));
    out.push_back(version);
    out.push_back(static_cast<uint8_t>(version ^ 0xFF));
    PutU16(out, payloadType);
    PutU32(out, static_cast<uint32_t>(payloadLength));
    return out;
}

std::vector<uint8_t> CreateBaseDatagram(uint16_t payloadType, int payloadLength) {
    return CreateBaseDatagram(payloadType, payloadLength, DOIPIF__u8ProtocolVersion);
}

std::vector<uint8_t> BuildMessage(uint16_t payloadType, const std::vector<uint8_t>& payload, uint8_t version) {
    std::vector<uint8_t> out = CreateBaseDatagram(payloadType, static_cast<int>(payload.size()), version);
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> BuildRoutingActivationRequest(uint16_t sourceAddress, uint8_t version) {
    std::vector<uint8_t> out = CreateBaseDatagram(kRoutingActivationRequest, 7, version);
    PutU16(out, sourceAddress);
    out.push_back(0x00);      // activation type: default
    PutU32(out, 0x00000000);  // reserved by ISO 13400
    return out;
}

std::vector<uint8_t> BuildAliveCheckResponse(uint16_t sourceAddress, uint8_t version) {
    std::vector<uint8_t> out = CreateBaseDatagram(kAliveCheckResponse, 2, version);
    PutU16(out, sourceAddress);
    return out;
}

std::vector<uint8_t> BuildDiagnosticMessage(uint16_t sourceAddress, uint16_t targetAddress, const uint8_t* data,
                                            size_t length, uint8_t version) {
    std::vector<uint8_t> out = CreateBaseDatagram(kDiagnosticMessage, static_cast<int>(length + 4), version);
    PutU16(out, sourceAddress);
    PutU16(out, targetAddress);
    if (length != 0) out.insert(out.end(), data, data + length);
    return out;
}

std::vector<uint8_t> BuildRoutingActivationResponse(uint16_t testerAddress, uint16_t entityAddress, uint8_t code,
                                                    uint8_t version) {
    std::vector<uint8_t> payload;
    PutU16(payload, testerAddress);
    PutU16(payload, entityAddress);
    payload.push_back(code);
    PutU32(payload, 0);
    return BuildMessage(kRoutingActivationResponse, payload, version);
}

std::vector<uint8_t> BuildAliveCheckRequest(uint8_t version) { return CreateBaseDatagram(kAliveCheckRequest, 0, version); }

std::vector<uint8_t> BuildDiagnosticAck(bool positive, uint16_t sourceAddress, uint16_t targetAddress, uint8_t code,
                                        const std::vector<uint8_t>& echo, uint8_t version) {
    std::vector<uint8_t> payload;
    PutU16(payload, sourceAddress);
    PutU16(payload, targetAddress);
    payload.push_back(code);
    payload.insert(payload.end(), echo.begin(), echo.end());
    return BuildMessage(positive ? kDiagnosticMessagePositiveAck : kDiagnosticMessageNegativeAck, payload, version);
}

std::vector<uint8_t> BuildVehicleAnnouncement(const uint8_t (&vin)[17], uint16_t logicalAddress,
                                              const uint8_t (&eid)[6], const uint8_t (&gid)[6], uint8_t furtherAction,
                                              uint8_t syncStatus, uint8_t version) {
    std::vector<uint8_t> payload(vin, vin + 17);
    PutU16(payload, logicalAddress);
    payload.insert(payload.end(), eid, eid + 6);
    payload.insert(payload.end(), gid, gid + 6);
    payload.push_back(furtherAction);
    payload.push_back(syncStatus);
    return BuildMessage(kVehicleAnnouncement, payload, version);
}

DoipMessage ReadMessage(TCPSocket& socket, int timeoutMs, bool wrapPayloadFailure, const sockets::Flavor& flavor) {
    uint8_t bytes[kHeaderSize];
    socket.read(kHeaderSize, bytes, timeoutMs);
    const Header header = ParseHeader(bytes);
    if (!IsHeaderValid(header)) throw std::runtime_error("DoipChannel: not valid header");
    if (header.payloadLength > kMaxPayloadLength) throw std::runtime_error("DoipChannel: Message payload too large");
    DoipMessage message;
    message.payloadType = header.payloadType;
    message.payload.resize(header.payloadLength);
    if (!wrapPayloadFailure) {
        socket.read(static_cast<int>(header.payloadLength), message.payload.data(), timeoutMs);
        return message;
    }
    try {
        socket.read(static_cast<int>(header.payloadLength), message.payload.data(), timeoutMs);
    } catch (const std::runtime_error& error) {
        sockets::LogDebug(flavor, 2, "TCP: %s", error.what());
        throw std::runtime_error("DoipChannel: header is ok, Can't get payload");
    }
    return message;
}

uint16_t ProcessVehicleIdentity(const uint8_t (&datagram)[kAnnouncementBufferSize], int size,
                                const std::function<void(const std::string&)>& printLine,
                                const sockets::Flavor& flavor) {
    const std::string all = data2hex::ArrayToHexString<data2hex::CharacterSeparator<' '>>(datagram, kAnnouncementBufferSize);
    sockets::LogDebug(flavor, 3,
                      flavor.tool ? "DoipChannel: Received %d bytes: \"%s\"" : "DoipChannel: VehicleIdentity Received %d bytes: \"%s\"",
                      size, all.c_str());
    if (size < 9) {
        sockets::LogError(flavor, "DoipChannel: amount of bytes less than size of header");
        return 0;
    }
    const Header header = ParseHeader(datagram);
    if (!IsHeaderValid(header)) {
        sockets::LogError(flavor, "DoipChannel: not valid header");
        return 0;
    }
    if (header.payloadType != kVehicleAnnouncement) {
        sockets::LogError(flavor, "DoipChannel: Payload type is not Vehicle Announcement");
        return 0;
    }
    if (header.payloadLength < static_cast<uint32_t>(kAnnouncementMinPayload)) {
        sockets::LogError(flavor, "DoipChannel: Message payload too small");
        return 0;
    }
    const uint8_t* payload = datagram + kHeaderSize;
    const uint16_t address = GetU16(payload + 17);
    sockets::LogDebug(flavor, 3, "DoipChannel: Valid Vehicle Identity from 0x%x", address);
    if (printLine) {
        char line[200];
        snprintf(line, sizeof line, "Logical Address: 0x%x", address);
        printLine(line);
        using Hex = data2hex::CharacterSeparator<' '>;
        snprintf(line, sizeof line, "VIN:%s", data2hex::ArrayToHexString<Hex>(payload, 17).c_str());
        printLine(line);
        snprintf(line, sizeof line, "EID:%s", data2hex::ArrayToHexString<Hex>(payload + 19, 6).c_str());
        printLine(line);
        snprintf(line, sizeof line, "GID:%s", data2hex::ArrayToHexString<Hex>(payload + 25, 6).c_str());
        printLine(line);
    }
    return address;
}

}  // namespace doip

void DOIP__vLogRoutingActivationResponseCode(uint8_t code) {
    switch (code) {
        case 0x00: LOG_vError("DOIP: Routing activation failed: unknown source address"); break;
        case 0x01:
            LOG_vError("DOIP: Routing activation failed: maximum number of allowed simultaneous connections exceeded");
            break;
        case 0x02:
            LOG_vError(
                "DOIP: Routing activation failed: activation for different source address has been already requested");
            break;
        case 0x03:
            LOG_vError("DOIP: Routing activation failed: activation for the same source address has been already requested");
            break;
        case 0x04: LOG_vError("DOIP: Routing activation failed: authentication required"); break;
        case 0x05: LOG_vError("DOIP: Routing activation failed: confirmation rejected"); break;
        case 0x06: LOG_vError("DOIP: Routing activation failed: unsupported activation type"); break;
        case 0x10: LOG_vDebug_2("DOIP: Routing has been activated successfully"); break;
        case 0x11: LOG_vDebug_2("DOIP: Routing will be activated after a confirmation"); break;
        default: LOG_vError("DOIP: Routing activation failed: unknown response code 0x%02X", code); break;
    }
}

std::string DOIP__vLogDiagnosticMessageACKCode(uint8_t code) {
    switch (code) {
        case 0x00: return "positive ACK";
        case 0x02: return "invalid source address";
        case 0x03: return "unknown target address";
        case 0x04: return "maximum message length exceeded";
        case 0x05: return "out of memory";
        case 0x06: return "target unreachable";
        case 0x07: return "unknown network";
        case 0x08: return "transport protocol error";
        default: {
            char text[200];
            snprintf(text, sizeof text, "unknown ACK code 0x%02X", code);
            return text;
        }
    }
}

bool DOIP__boCheckDiagnosticMessageResponse(size_t echoLength, const uint8_t* echo, size_t requestLength,
                                            const uint8_t* request) {
    const size_t n = std::min(echoLength, requestLength);
    return n == 0 || std::memcmp(echo, request, n) == 0;
}
