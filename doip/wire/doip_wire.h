// DoIP (ISO 13400-2) wire format shared by the flasher, the send/receive tool and the
// simulator: generic header, payload layouts, reception limits, vehicle identity parsing,
// and the texts of routing activation and acknowledgement codes.
//
// All multi-byte fields are big-endian on the wire. A message is the 8-byte generic header
//   [version][~version][payload type: 2][payload length: 4]
// followed by the payload. Typical use:
//   auto msg = doip::BuildMessage(doip::kDiagnosticMessage, payload, version);   // build
//   doip::Header h = doip::ParseHeader(bytes);                                    // parse
//   if (!doip::IsHeaderValid(h) || h.payloadLength > doip::kMaxPayloadLength) ... // check
//   DoipMessage m = doip::ReadMessage(socket, timeoutMs);                         // TCP read
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "doip/wire/data2hex.h"
#include "sockets/flavor.h"

class TCPSocket;

// The flasher's configured DoIP protocol version (--doip_version, set by DOIPIF_boInit).
extern uint8_t DOIPIF__u8ProtocolVersion;

// One DoIP message read from TCP: payload type (host order) and exactly the payload bytes.
struct DoipMessage {
    uint16_t payloadType = 0;
    std::vector<uint8_t> payload;
};

namespace doip {

using ::DoipMessage;

// Payload types.
constexpr uint16_t kGenericNack = 0x0000;
constexpr uint16_t kVehicleIdentificationRequest = 0x0001;
constexpr uint16_t kVehicleAnnouncement = 0x0004;  // also the identification response
constexpr uint16_t kRoutingActivationRequest = 0x0005;
constexpr uint16_t kRoutingActivationResponse = 0x0006;
constexpr uint16_t kAliveCheckRequest = 0x0007;
constexpr uint16_t kAliveCheckResponse = 0x0008;
constexpr uint16_t kDiagnosticMessage = 0x8001;
constexpr uint16_t kDiagnosticMessagePositiveAck = 0x8002;
constexpr uint16_t kDiagnosticMessageNegativeAck = 0x8003;

constexpr uint8_t kDefaultVersion = 0x02;
constexpr int kHeaderSize = 8;
constexpr uint32_t kMaxPayloadLength = 100000;  // largest accepted payload of a TCP message
constexpr int kAnnouncementBufferSize = 41;     // header + 33 payload bytes
constexpr int kAnnouncementMinPayload = 33;     // payload length must exceed 32
constexpr uint16_t kPort = 13400;               // UDP discovery and TCP data port
constexpr uint8_t kRoutingSuccess = 0x10;

// The fixed vehicle identification request: 02 FD 00 01 00 00 00 00 (whatever the version).
extern const uint8_t kVehicleIdentificationRequestDatagram[8];

struct Header {
    uint8_t version = 0;
    uint8_t inverseVersion = 0;
    uint16_t payloadType = 0;
    uint32_t payloadLength = 0;
};

// Reads the 8 header bytes at `bytes`.
Header ParseHeader(const uint8_t* bytes);
// The inverse version byte is the complement of the version (the version itself is not checked).
bool IsHeaderValid(const Header& header);

// The 8-byte generic header with the configured version (DOIPIF__u8ProtocolVersion).
std::vector<uint8_t> CreateBaseDatagram(uint16_t payloadType, int payloadLength);
// The same with an explicit version (the tool and the simulator use 0x02).
std::vector<uint8_t> CreateBaseDatagram(uint16_t payloadType, int payloadLength, uint8_t version);
// Header + payload.
std::vector<uint8_t> BuildMessage(uint16_t payloadType, const std::vector<uint8_t>& payload, uint8_t version);

// Appends a big-endian field.
void PutU16(std::vector<uint8_t>& out, uint16_t value);
void PutU32(std::vector<uint8_t>& out, uint32_t value);
// Reads a big-endian field; the caller checks the length.
uint16_t GetU16(const uint8_t* bytes);
uint32_t GetU32(const uint8_t* bytes);

// Tester side.
std::vector<uint8_t> BuildRoutingActivationRequest(uint16_t sourceAddress, uint8_t version);
std::vector<uint8_t> BuildAliveCheckResponse(uint16_t sourceAddress, uint8_t version);
std::vector<uint8_t> BuildDiagnosticMessage(uint16_t sourceAddress, uint16_t targetAddress, const uint8_t* data,
                                            size_t length, uint8_t version);

// Entity side (simulator, test peers).
std::vector<uint8_t> BuildRoutingActivationResponse(uint16_t testerAddress, uint16_t entityAddress, uint8_t code,
                                                    uint8_t version = kDefaultVersion);
std::vector<uint8_t> BuildAliveCheckRequest(uint8_t version = kDefaultVersion);
// 0x8002 when positive, else 0x8003; `echo` (may be empty) follows the code.
std::vector<uint8_t> BuildDiagnosticAck(bool positive, uint16_t sourceAddress, uint16_t targetAddress, uint8_t code,
                                        const std::vector<uint8_t>& echo, uint8_t version = kDefaultVersion);
// Vehicle announcement / identification response with all 33 payload bytes.
std::vector<uint8_t> BuildVehicleAnnouncement(const uint8_t (&vin)[17], uint16_t logicalAddress,
                                              const uint8_t (&eid)[6], const uint8_t (&gid)[6],
                                              uint8_t furtherAction = 0, uint8_t syncStatus = 0,
                                              uint8_t version = kDefaultVersion);

// Reads exactly one message from `socket`: 8 header bytes, the header checks, the payload.
// Header read failures pass through (TcpTimeout, TcpReadFailed, TcpConnectionBroken).
// Throws std::runtime_error "DoipChannel: not valid header" or
// "DoipChannel: Message payload too large". A failing payload read is logged as
// "TCP: %s" (debug 2) and rethrown as "DoipChannel: header is ok, Can't get payload" when
// `wrapPayloadFailure` is set (the flasher); otherwise it passes through unchanged (the tool).
DoipMessage ReadMessage(TCPSocket& socket, int timeoutMs, bool wrapPayloadFailure = true,
                        const sockets::Flavor& flavor = sockets::FlasherFlavor());

// Parses a vehicle announcement held in the 41-byte buffer (`size` bytes received).
// Returns the announced logical address, 0 when it is not a valid announcement. Hands the
// four display lines to printLine when set. The tool flavour logs its first line as
// "DoipChannel: Received ..." instead of "DoipChannel: VehicleIdentity Received ...".
uint16_t ProcessVehicleIdentity(const uint8_t (&datagram)[kAnnouncementBufferSize], int size,
                                const std::function<void(const std::string&)>& printLine,
                                const sockets::Flavor& flavor = sockets::FlasherFlavor());

// One value formatted through a 200-character buffer (snprintf, cut at 199).
template <typename T>
std::string format(const char* fmt, T value) {
    char text[200];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(text, sizeof text, fmt, value);
#pragma GCC diagnostic pop
    return text;
}
extern template std::string format<uint16_t>(const char*, uint16_t);
extern template std::string format<uint32_t>(const char*, uint32_t);

}  // namespace doip

// Logs the text of a routing activation response code (0x10 and 0x11 at debug 2, all else error).
void DOIP__vLogRoutingActivationResponseCode(uint8_t code);
// Text of a diagnostic message acknowledgement code (returned, not logged).
std::string DOIP__vLogDiagnosticMessageACKCode(uint8_t code);
// true when the first min(echoLength, requestLength) bytes agree (an empty comparison agrees).
bool DOIP__boCheckDiagnosticMessageResponse(size_t echoLength, const uint8_t* echo, size_t requestLength,
                                            const uint8_t* request);
