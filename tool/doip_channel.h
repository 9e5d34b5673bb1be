// The send/receive tool's DoIP channel: the shared doip::DoipChannel in the tool's flavour
// (tool logger, version 0x02, 2000 ms waits), with the tool's routing activation (refusals
// thrown), a restore that runs the disconnect hook, reception of diagnostic messages with one
// automatic restore, and waiting for the vehicle by listening and polling in parallel.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "doip/wire/doip_channel.h"
#include "tool/tool_flavor.h"

class DoipChannel : private doip::DoipChannel {
public:
    using Base = doip::DoipChannel;
    using RestoreAction = Base::RestoreAction;
    static constexpr RestoreAction Hook = Base::Hook;
    static constexpr RestoreAction ListenAnnouncement = Base::ListenAnnouncement;

    DoipChannel(uint16_t sourceAddress, std::string disconnectHook);

    // Stores the options, connects and activates routing (response awaited 2000 ms). false
    // when the TCP connection or the request write fails; throws on a refused or malformed
    // activation response and on read failures.
    bool Open(const sockets::SocketOptions& options);
    // As Open with the stored options and the given response timeout.
    bool Reopen(int timeoutMs);
    // Re-establishes the connection: optionally listens for an announcement, runs the
    // disconnect hook (when no announcement came), reconnects within 60 s. true, or throws.
    bool Restore(RestoreAction action);
    // UDS bytes of the next diagnostic message; one restore and a second wait after a read
    // failure or timeout.
    std::vector<uint8_t> ReceiveDiagMessage(int timeoutMs);
    // Listens for an announcement and polls with identification requests in parallel, each for
    // up to `timeoutS` seconds; throws "DoipChannel: cluster is not alive" when neither succeeds.
    void WaitVehicleAnouncement(int timeoutS = 60);

    using Base::ReceiveDoip;
    using Base::SendDiagMessage;
    using Base::isOpen;
    // Reconnection window of Restore in ms (negative: 60 s). For tests.
    using Base::setRestoreWindow;

    static bool ListenVehicleAnnouncement(const sockets::SocketOptions& options, int timeoutS, uint16_t expected,
                                          const doip::PrintLine& printLine,
                                          const doip::KeepGoing& keepGoing = doip::AlwaysKeepGoing) {
        return Base::ListenVehicleAnnouncement(options, timeoutS, expected, printLine, keepGoing, ToolFlavor());
    }
    static bool PollVehicleIdentity(const sockets::SocketOptions& options, int timeoutS,
                                    const doip::PrintLine& printLine,
                                    const doip::KeepGoing& keepGoing = doip::AlwaysKeepGoing) {
        return Base::PollVehicleIdentity(options, timeoutS, printLine, keepGoing, ToolFlavor());
    }
    static bool IsClusterAlive(UdpSocket& udp, const doip::PrintLine& printLine) {
        return Base::IsClusterAlive(udp, printLine, ToolFlavor());
    }

private:
    bool ConnectAndActivate(int timeoutMs);

    std::string disconnectHook;
};
