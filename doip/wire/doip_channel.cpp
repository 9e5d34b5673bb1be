#include "doip/wire/doip_channel.h"

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace doip {

using sockets::LogDebug;
using sockets::LogError;
using SystemClock = std::chrono::system_clock;

bool AlwaysKeepGoing() { return true; }

int RunHook(const std::string& hook, const std::string& ip, const sockets::Flavor& flavor) {
    char command[1024];
    snprintf(command, sizeof command, "%s %s", hook.c_str(), ip.c_str());
    const int status = std::system(command);
    LogDebug(flavor, 3, "Hook: \"%s\" : System Return: %d", command, status);
    if (status == -1) {
        LogError(flavor, "Hook: Failed: %s", command);
        return -1;
    }
    const int code = (status >> 8) & 0xFF;
    LogDebug(flavor, 3, "Hook: Return Code: %d", code);
    // A shell ended by a signal has no exit code: never read that as success.
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return code;
}

DoipChannel::RestoreListen& DoipChannel::restoreListen() {
    static RestoreListen settings;
    return settings;
}

DoipChannel::DoipChannel(uint16_t source, std::function<bool()> check, const sockets::Flavor& f)
    : socket(f), sourceAddress(source), connectCheck(std::move(check)), flavor(&f) {}

DoipChannel::~DoipChannel() { socket.shutdown(); }

bool DoipChannel::Open(const sockets::SocketOptions& o) {
    options = o;
    if (!socket.open(options)) return false;
    return ActivateRouting();
}

bool DoipChannel::Reopen() {
    if (!socket.open(options)) return false;
    return ActivateRouting();
}

void DoipChannel::WriteRoutingActivationRequest() {
    const std::vector<uint8_t> request = BuildRoutingActivationRequest(sourceAddress, version());
    socket.write(static_cast<int>(request.size()), request.data());
}

bool DoipChannel::ActivateRouting() {
    try {
        WriteRoutingActivationRequest();
        const DoipMessage response = ReceiveDoip(3000);
        if (response.payloadType != kRoutingActivationResponse)
            throw std::runtime_error(format("RoutingActivationError: unexpected response type 0x%x", response.payloadType));
        if (response.payload.size() < 9)
            throw std::runtime_error(format("RoutingActivationError: unexpected response length %d",
                                            static_cast<int>(response.payload.size())));
        if (GetU16(response.payload.data()) != sourceAddress)
            throw std::runtime_error("RoutingActivationError: Responded address does not correspond source address");
        const uint8_t code = response.payload[4];
        DOIP__vLogRoutingActivationResponseCode(code);
        if (code != kRoutingSuccess) throw std::runtime_error("RoutingActivationError: Routing Activation is denied by vehicle");
    } catch (const std::runtime_error& error) {
        LogDebug(*flavor, 2, "%s", error.what());
        socket.shutdown();
        return false;
    }
    return true;
}

DoipMessage DoipChannel::ReceiveDoip(int timeoutMs) { return ReadMessage(socket, timeoutMs, !flavor->tool, *flavor); }

void DoipChannel::SendDiagMessage2(const std::vector<uint8_t>& data, uint16_t targetAddress) {
    const std::vector<uint8_t> message =
        BuildDiagnosticMessage(sourceAddress, targetAddress, data.data(), data.size(), version());
    socket.write(static_cast<int>(message.size()), message.data());
}

bool DoipChannel::SendDiagMessage(const std::vector<uint8_t>& data, uint16_t targetAddress) {
    SendDiagMessage2(data, targetAddress);
    const DoipMessage ack = ReceiveDoip(ackTimeoutMs());
    if (ack.payloadType != kDiagnosticMessagePositiveAck)
        throw std::runtime_error(format("DOIP: Unexpected payload type: %x", ack.payloadType));
    if (ack.payload.size() <= 4)
        throw std::runtime_error(format("DOIP: Unexpected payload size: %d", static_cast<int>(ack.payload.size())));
    if (ack.payload[4] != 0) throw std::runtime_error(format("DOIP: Response is not positive: %d", ack.payload[4]));
    if (ack.payload.size() > 5 &&
        !DOIP__boCheckDiagnosticMessageResponse(ack.payload.size() - 5, ack.payload.data() + 5, data.size(), data.data()))
        throw std::runtime_error("DOIP: received acknowledgment for unknown request");
    return true;
}

void DoipChannel::SendAlive() {
    const std::vector<uint8_t> message = BuildAliveCheckResponse(sourceAddress, version());
    socket.write(static_cast<int>(message.size()), message.data());
}

void DoipChannel::Close() { socket.shutdown(); }

bool DoipChannel::ReconnectWithin(int windowMs, const std::function<bool()>& attempt) {
    const auto deadline = SystemClock::now() + std::chrono::milliseconds(windowMs);
    while (SystemClock::now() < deadline) {
        if (keepRestoring && !keepRestoring()) return false;
        if (attempt()) return true;
        if (retryDelayMs > 0) {
            const auto pause = std::min<SystemClock::duration>(std::chrono::milliseconds(retryDelayMs),
                                                               deadline - SystemClock::now());
            if (pause > SystemClock::duration::zero()) std::this_thread::sleep_for(pause);
        }
    }
    return false;
}

bool DoipChannel::Restore(RestoreAction action) {
    socket.shutdown();
    LogDebug(*flavor, 2, "DoipChannel: Try to restore");
    bool announced = false;
    if (action == ListenAnnouncement) {
        const RestoreListen& listen = restoreListen();
        sockets::SocketOptions listening = options;
        listening.targetIp = listen.group;
        listening.sourcePort = listen.port;
        listening.bindSource = true;
        listening.joinMulticast = true;
        const KeepGoing keepGoing = keepRestoring ? keepRestoring : KeepGoing(AlwaysKeepGoing);
        announced = ListenVehicleAnnouncement(listening, listen.seconds, 0xFFFF, nullptr, keepGoing, *flavor);
    }
    if (!announced && connectCheck && !connectCheck()) throw std::runtime_error("DoipChannel: connect hook is failed");
    const int configured = restoreWindowMs ? restoreWindowMs() : -1;
    const int window = configured >= 0 ? configured : 60000;
    if (ReconnectWithin(window, [this] { return socket.open(options) && ActivateRouting(); })) return true;
    throw std::runtime_error("DoipChannel: connection is lost");
}

bool DoipChannel::ListenVehicleAnnouncement(const sockets::SocketOptions& o, int timeoutS, uint16_t expected,
                                            const PrintLine& printLine, const KeepGoing& keepGoing,
                                            const sockets::Flavor& flavor) {
    sockets::SocketOptions listening = o;
    if (flavor.tool) {
        listening.bindSource = true;
        if (listening.targetIp.empty()) listening.targetIp = "::1";
    }
    UdpSocket udp(flavor);
    if (!udp.open(listening)) throw std::runtime_error("DoipChannel: udp6 is not opened");
    const int cap = flavor.tool ? 2000 : 3000;
    const int readTimeout = timeoutS < 1 ? cap : std::min(timeoutS * 1000, cap);
    const auto deadline = SystemClock::now() + std::chrono::seconds(timeoutS);
    uint8_t buffer[kAnnouncementBufferSize] = {};
    bool found = false;
    for (;;) {
        if (!keepGoing()) break;
        if (timeoutS > 0 && SystemClock::now() >= deadline) break;
        const int size = udp.readAny(kAnnouncementBufferSize, buffer, readTimeout);
        if (size == 0) {
            if (!flavor.tool) std::this_thread::yield();
            continue;
        }
        const uint16_t address = ProcessVehicleIdentity(buffer, size, printLine, flavor);
        if ((expected != 0 && address == expected) || (expected == 0xFFFF && address != 0)) {
            found = true;
            break;
        }
    }
    udp.close();
    return found;
}

bool DoipChannel::PollVehicleIdentity(const sockets::SocketOptions& o, int timeoutS, const PrintLine& printLine,
                                      const KeepGoing& keepGoing, const sockets::Flavor& flavor) {
    UdpSocket udp(flavor);
    if (!udp.open(o)) {
        LogError(flavor, "DoipChannel: udp is not opened");
        return false;
    }
    const auto deadline = SystemClock::now() + std::chrono::seconds(timeoutS);
    for (;;) {
        if (!keepGoing()) return false;
        if (timeoutS > 0 && SystemClock::now() >= deadline) return false;
        if (IsClusterAlive(udp, printLine, flavor)) return true;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
}

bool DoipChannel::IsClusterAlive(UdpSocket& udp, const PrintLine& printLine, const sockets::Flavor& flavor) {
    if (!udp.write(sizeof kVehicleIdentificationRequestDatagram, kVehicleIdentificationRequestDatagram)) {
        LogError(flavor, "DoipChannel: Error while sending vehicle identification request");
        return false;
    }
    uint8_t buffer[kAnnouncementBufferSize] = {};
    const int size = udp.readAny(kAnnouncementBufferSize, buffer, flavor.tool ? 2000 : 3000);
    if (size == 0) {
        LogError(flavor, "DoipChannel: Error while read vehicle identification response");
        return false;
    }
    return ProcessVehicleIdentity(buffer, size, printLine, flavor) != 0;
}

}  // namespace doip
