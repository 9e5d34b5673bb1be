// doip::DoipChannel: a TCP connection to one DoIP entity with routing activated, and the UDP
// vehicle discovery operations. Blocking calls, no locks, no threads of its own.
//
// The flavour given at construction (and to the static operations) decides where lines are
// logged and selects the send/receive tool's variant where the two programs differ:
//   flasher (sockets::FlasherFlavor(), the default): configured protocol version
//     (DOIPIF__u8ProtocolVersion), 3000 ms acknowledgement and identification waits, a failed
//     payload read rewrapped as "DoipChannel: header is ok, Can't get payload", announcement
//     listening as given.
//   tool (a flavour with `tool` set): version 0x02 everywhere, 2000 ms waits, payload read
//     failures passed through, announcement listening with the source port bound and "::1"
//     for an empty target.
// The tool's own channel derives from this class and adds its Open/Reopen/Restore variants,
// ReceiveDiagMessage and WaitVehicleAnouncement on top of the protected members and helpers.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "doip/wire/doip_wire.h"
#include "sockets/tcp_socket.h"
#include "sockets/udp_socket.h"

namespace doip {

using PrintLine = std::function<void(const std::string&)>;
using KeepGoing = std::function<bool()>;

// A keep-going function that always says yes.
bool AlwaysKeepGoing();

// Runs "<hook> <ip>" (cut to 1023 characters) through the shell and logs
// "Hook: \"%s\" : System Return: %d" (debug 3), "Hook: Failed: %s" (error) when the shell
// could not run, else "Hook: Return Code: %d" (debug 3). Returns the exit code, -1 when the
// shell did not run.
int RunHook(const std::string& hook, const std::string& ip, const sockets::Flavor& flavor = sockets::FlasherFlavor());

class DoipChannel {
public:
    enum RestoreAction { Hook = 0, ListenAnnouncement = 1 };

    // Settings of the restore's announcement listening. Fixed in the programs; tests point
    // them at a free port and shorten the wait.
    struct RestoreListen {
        std::string group = "FF02::1";
        uint16_t port = kPort;
        int seconds = 4;
    };
    static RestoreListen& restoreListen();

    DoipChannel(uint16_t sourceAddress, std::function<bool()> connectCheck,
                const sockets::Flavor& flavor = sockets::FlasherFlavor());
    ~DoipChannel();
    DoipChannel(const DoipChannel&) = delete;
    DoipChannel& operator=(const DoipChannel&) = delete;

    // Stores the options, connects, activates routing. false when either fails.
    bool Open(const sockets::SocketOptions& options);
    // Routing activation on the open connection; false (socket shut down) on any failure.
    bool ActivateRouting();
    // Open with the stored options again.
    bool Reopen();
    // Re-establishes the connection; true, or throws std::runtime_error.
    bool Restore(RestoreAction action);
    bool Restore() { return Restore(ListenAnnouncement); }
    // One diagnostic message; does not wait.
    void SendDiagMessage2(const std::vector<uint8_t>& data, uint16_t targetAddress);
    // SendDiagMessage2, then waits for the positive acknowledgement; true, or throws.
    bool SendDiagMessage(const std::vector<uint8_t>& data, uint16_t targetAddress);
    // Exactly one DoIP message (header checks and the 100000-byte limit applied).
    DoipMessage ReceiveDoip(int timeoutMs);
    // Alive check response with the tester's address.
    void SendAlive();
    // Shuts the TCP socket down.
    void Close();

    // Reconnection window of Restore in ms; a negative value means 60 s. The flasher passes
    // its --p2_ext_server getter; unset, the window is 60 s.
    void setRestoreWindow(std::function<int()> windowMs) { restoreWindowMs = std::move(windowMs); }
    // Pause between two reconnection attempts of Restore (never beyond its window); 0 by default.
    void setRetryDelay(unsigned delayMs) { retryDelayMs = delayMs; }
    // Asked before every listening and reconnection attempt of Restore; false ends the restore
    // early ("DoipChannel: connection is lost"). Unset: restores run to their end.
    void setKeepGoing(KeepGoing keepGoing) { keepRestoring = std::move(keepGoing); }
    bool isOpen() const { return socket.isAlive(); }
    uint16_t source() const { return sourceAddress; }

    // Listens for a vehicle announcement from `expected` (0xFFFF: anybody, 0: nobody).
    static bool ListenVehicleAnnouncement(const sockets::SocketOptions& options, int timeoutS, uint16_t expected,
                                          const PrintLine& printLine, const KeepGoing& keepGoing = AlwaysKeepGoing,
                                          const sockets::Flavor& flavor = sockets::FlasherFlavor());
    // Sends vehicle identification requests (1 s apart) until one is answered.
    static bool PollVehicleIdentity(const sockets::SocketOptions& options, int timeoutS, const PrintLine& printLine,
                                    const KeepGoing& keepGoing = AlwaysKeepGoing,
                                    const sockets::Flavor& flavor = sockets::FlasherFlavor());
    // One vehicle identification request and its answer on an open UDP socket.
    static bool IsClusterAlive(UdpSocket& udp, const PrintLine& printLine,
                               const sockets::Flavor& flavor = sockets::FlasherFlavor());

protected:
    uint8_t version() const { return flavor->tool ? kDefaultVersion : DOIPIF__u8ProtocolVersion; }
    int ackTimeoutMs() const { return flavor->tool ? 2000 : 3000; }
    // Writes the 15-byte routing activation request.
    void WriteRoutingActivationRequest();
    // Reconnects with the stored options until `attempt` succeeds or the window ends.
    bool ReconnectWithin(int windowMs, const std::function<bool()>& attempt);

    TCPSocket socket;
    uint16_t sourceAddress;
    std::function<bool()> connectCheck;
    sockets::SocketOptions options;
    const sockets::Flavor* flavor;
    std::function<int()> restoreWindowMs;
    unsigned retryDelayMs = 0;
    KeepGoing keepRestoring;
};

}  // namespace doip
