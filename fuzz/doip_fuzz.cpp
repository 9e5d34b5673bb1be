// DoIP messages as the flasher receives them: the byte stream of the TCP connection through
// the channel (header checks, payload limit, routing activation answer, diagnostic message
// acknowledgements), every message read handed to the DoIP workers' listeners the way the
// read thread publishes it, and vehicle identity datagrams as UDP delivers them.
//
// Input: one control byte, then the bytes the ECU sends. Control bits: 0-1 mode (0 channel
// with routing activation and requests, 1 channel reads published to the workers, 2 vehicle
// identity datagram, 3 all three), 2 protocol version 3 instead of 2.
// The connection is a local socket pair: nothing reaches the network.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "doip/doip_events.h"
#include "doip/doip_internal.h"
#include "events/event_bus.h"
#include "events/subscription.h"
#include "fuzz/fuzz_support.h"
#include "sockets/tcp_socket.h"

using namespace fuzzsupport;

namespace {

constexpr uint16_t kTester = 0x0E80;
constexpr uint16_t kEcu = 0x4010;
// Most bytes written into the socket pair (its buffer holds them without a reader).
constexpr size_t kMaxStream = 64 * 1024;

// A channel whose TCP connection is one end of a local socket pair.
class PairChannel : public doip::DoipChannel {
public:
    explicit PairChannel(int fd) : doip::DoipChannel(kTester, nullptr) {
        socket.~TCPSocket();
        new (&socket) TCPSocket(fd);
    }
};

// The ECU's side: the stream is written and the sending direction closed, so every read
// past its end sees the connection end at once.
struct Peer {
    int fds[2] = {-1, -1};
    Peer(const uint8_t* data, size_t size) {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
        size = std::min(size, kMaxStream);
        while (size > 0) {
            const ssize_t n = ::write(fds[1], data, size);
            if (n <= 0) std::abort();
            data += n;
            size -= static_cast<size_t>(n);
        }
        ::shutdown(fds[1], SHUT_WR);
    }
    ~Peer() { ::close(fds[1]); }
    int take() { return fds[0]; }
};

bool IsConnectionEnd(const std::exception& e) {
    return dynamic_cast<const TcpConnectionBroken*>(&e) != nullptr ||
           dynamic_cast<const TcpTimeout*>(&e) != nullptr || dynamic_cast<const TcpReadFailed*>(&e) != nullptr ||
           std::string(e.what()) == "DoipChannel: header is ok, Can't get payload";
}

void CheckMessage(const DoipMessage& m) {
    if (m.payload.size() > doip::kMaxPayloadLength) __builtin_trap();
}

// Routing activation, then requests that each wait for their acknowledgement.
void RunRequests(const uint8_t* data, size_t size) {
    Peer peer(data, size);
    PairChannel channel(peer.take());
    channel.ActivateRouting();
    const std::vector<uint8_t> request = {0x22, 0xF1, 0x87};
    for (int i = 0; i < 256 && channel.isOpen(); ++i) {
        try {
            if (!channel.SendDiagMessage(request, kEcu)) __builtin_trap();
        } catch (const std::runtime_error& e) {
            if (IsConnectionEnd(e)) break;
        }
    }
}

// Reads every message and publishes it as the read thread does.
void RunReads(const uint8_t* data, size_t size) {
    Peer peer(data, size);
    PairChannel channel(peer.take());
    for (int32_t number = 0; number < 4096; ++number) {
        try {
            DoipMessage m = channel.ReceiveDoip(10);
            CheckMessage(m);
            eventBus.notify(DoIPMessageReadEvent{m.payloadType, std::move(m.payload), number});
        } catch (const std::runtime_error& e) {
            if (IsConnectionEnd(e)) break;
        }
    }
}

void RunDatagram(const uint8_t* data, size_t size) {
    uint8_t datagram[doip::kAnnouncementBufferSize] = {};
    const size_t n = std::min<size_t>(size, sizeof datagram);
    std::memcpy(datagram, data, n);
    int lines = 0;
    const uint16_t address =
        doip::ProcessVehicleIdentity(datagram, static_cast<int>(n), [&](const std::string&) { ++lines; });
    if (address != doip::ProcessVehicleIdentity(datagram, static_cast<int>(n), nullptr)) __builtin_trap();
    if (address != 0 && lines != 4) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool once = [] {
        Configure({"--use_eth"});
        // The workers' listeners (router and alive handler); the read thread stays idle
        // because the connection is never announced as connected.
        DOIP_StartReadThread();
        static Subscription uds;
        const int token = eventBus.newToken();
        eventBus.listen<UdsMessage>(token, &DOIP_OnUdsReceived);
        uds.subscribe(token);
        return true;
    }();
    (void)once;
    if (size == 0) return 0;

    const uint8_t control = data[0];
    DOIPIF__u8ProtocolVersion = (control & 0x04) ? 0x03 : 0x02;
    ++data;
    --size;
    const int mode = control & 0x03;
    if (mode == 0 || mode == 3) RunRequests(data, size);
    if (mode == 1 || mode == 3) RunReads(data, size);
    if (mode == 2 || mode == 3) RunDatagram(data, size);
    LOG_vFlush();
    return 0;
}
