#include "tool/doip_channel.h"

#include <atomic>
#include <stdexcept>
#include <thread>

#include "tool/tool_log.h"

namespace {
constexpr int kActivationTimeoutMs = 2000;
constexpr int kReconnectWindowMs = 60000;
// Pause between two failed reconnection attempts: a refused connection fails at once, and
// retrying without a pause would spin for the whole window.
constexpr unsigned kReconnectPauseMs = 100;
}  // namespace

DoipChannel::DoipChannel(uint16_t sourceAddress, std::string hook)
    : Base(sourceAddress, nullptr, ToolFlavor()), disconnectHook(std::move(hook)) {
    setRetryDelay(kReconnectPauseMs);
}

bool DoipChannel::Open(const sockets::SocketOptions& newOptions) {
    options = newOptions;
    return ConnectAndActivate(kActivationTimeoutMs);
}

bool DoipChannel::Reopen(int timeoutMs) { return ConnectAndActivate(timeoutMs); }

bool DoipChannel::ConnectAndActivate(int timeoutMs) {
    if (!socket.open(options)) return false;
    try {
        WriteRoutingActivationRequest();
    } catch (const std::runtime_error& e) {
        LOG<&LogDebugPrefix>("%s", e.what());
        return false;
    }
    const DoipMessage response = ReceiveDoip(timeoutMs);
    if (response.payloadType == doip::kRoutingActivationResponse && response.payload.size() > 8) {
        if (doip::GetU16(response.payload.data()) != sourceAddress)
            throw std::runtime_error("RoutingActivationError: Responded address does not correspond source address");
        if (response.payload[4] != doip::kRoutingSuccess)
            throw std::runtime_error("RoutingActivationError: Routing Activation is denied by vehicle");
        return true;
    }
    throw std::runtime_error("RoutingActivationError: incorrect response from vehicle");
}

bool DoipChannel::Restore(RestoreAction action) {
    socket.shutdown();
    LOG<&LogDebugPrefix>("DoipChannel: Try to restore");
    bool announced = false;
    if (action == ListenAnnouncement) {
        announced = ListenVehicleAnnouncement(options, restoreListen().seconds, 0xFFFF, nullptr);
    }
    if (!announced && !disconnectHook.empty()) {
        if (doip::RunHook(disconnectHook, options.targetIp, ToolFlavor()) != 0)
            throw std::runtime_error("DoipChannel: disconnect hook is failed");
    }
    const int configured = restoreWindowMs ? restoreWindowMs() : -1;
    const int window = configured >= 0 ? configured : kReconnectWindowMs;
    if (ReconnectWithin(window, [this] { return Reopen(kActivationTimeoutMs); })) return true;
    throw std::runtime_error("DoipChannel: connection is lost");
}

std::vector<uint8_t> DoipChannel::ReceiveDiagMessage(int timeoutMs) {
    DoipMessage message;
    RestoreAction recovery = Hook;
    bool received = false;
    try {
        message = ReceiveDoip(timeoutMs);
        received = true;
    } catch (const TcpTimeout&) {
        LOG<&LogDebugPrefix>("DoipChannel: TCP Timeout");
        recovery = Hook;
    } catch (const TcpReadFailed&) {
        LOG<&LogDebugPrefix>("DoipChannel: TCP Read failed");
        recovery = ListenAnnouncement;
    } catch (const TcpConnectionBroken&) {
        LOG<&LogDebugPrefix>("DoipChannel: TCP Connection Broken");
        recovery = ListenAnnouncement;
    }
    if (!received) {
        Restore(recovery);
        message = ReceiveDoip(timeoutMs);
    }
    if (message.payloadType != doip::kDiagnosticMessage) {
        throw std::runtime_error(
            doip::format("ReceiveDiagMessageError: incorrect doip type 0x%04X", static_cast<unsigned>(message.payloadType)));
    }
    if (message.payload.size() < 4) throw std::runtime_error("ReceiveDiagMessageError: Invalid size");
    return std::vector<uint8_t>(message.payload.begin() + 4, message.payload.end());
}

void DoipChannel::WaitVehicleAnouncement(int timeoutS) {
    const sockets::SocketOptions copy = options;
    std::atomic<bool> found{false};
    const doip::KeepGoing keepGoing = [&found] { return !found.load(); };
    // A failure of one search (its UDP socket cannot be opened) must not end the process:
    // it is logged and the other search goes on.
    auto guarded = [&](auto&& search) {
        try {
            if (search()) found = true;
        } catch (const std::exception& e) {
            LOG<&LogErrorPrefix>("%s", e.what());
        }
    };
    std::thread listener([&] {
        guarded([&] { return ListenVehicleAnnouncement(copy, timeoutS, 0xFFFF, nullptr, keepGoing); });
    });
    std::thread poller([&] { guarded([&] { return PollVehicleIdentity(copy, timeoutS, nullptr, keepGoing); }); });
    listener.join();
    poller.join();
    if (!found) throw std::runtime_error("DoipChannel: cluster is not alive");
}
