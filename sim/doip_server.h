// DoIP (ISO 13400-2) front-end of the simulated ECU: answers vehicle identification requests
// on UDP (and sends optional announcements), accepts one tester at a time on TCP, activates
// routing for the configured tester address, acknowledges every diagnostic message (positive
// acknowledgement with an echo of the first request bytes) and answers from the ECU's logical
// address; requests to the functional address are handled as functional. It can send alive
// check requests on demand and inject the DoIP-level faults below.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "sim/ecu_model.h"

namespace ecusim {

struct DoipFaults {
    int missingAckAt = 0;       // the Nth diagnostic message (1-based) is lost: no ack, no answer
    int negativeAckAt = 0;      // the Nth diagnostic message gets a negative ack instead
    uint8_t negativeAckCode = 0x08;
    int ackFaultSid = -1;       // count only messages of this service for the two above, -1 all
    int dropAfterTransferData = 0;  // drop the connection after the Nth TransferData ...
    bool dropBeforeAnswer = false;  // ... before its answer is sent (the answer is lost)
    bool dropWhilePending = false;  // ... after a response-pending answer; the final answer goes
                                    // to the tester's next connection once routing is active
    int refuseRouting = 0;          // refuse this many routing activations
    uint8_t refuseRoutingCode = 0x00;
};

struct DoipServerConfig {
    std::string ip = "127.0.0.1";    // numeric IPv4 or IPv6 address to listen on
    uint16_t port = 13400;           // TCP port (and UDP port unless udpPort is set); 0 picks a free port
    int udpPort = -1;                // UDP port when it differs; -1 the same number as port
    uint16_t logicalAddress = 0x1014;
    uint16_t functionalAddress = 0xE400;
    int testerAddress = 0x0E80;      // routing is refused for any other tester; -1 accepts all
    std::string vin = "WVWZZZ1KZSIM00001";  // 17 characters
    uint8_t eid[6] = {0x02, 0x00, 0x00, 0x00, 0x10, 0x14};
    uint8_t gid[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x00};
    // Announcements: sent to announceIp:announcePort at start and after each lost connection.
    std::string announceIp;          // empty: none
    uint16_t announcePort = 13400;
    int announceCount = 3;
    int announceIntervalMs = 500;
    int announceEveryMs = 0;         // > 0: besides those, announce this often while running
    int aliveCheckEveryMs = 0;       // 0: only on demand
    size_t ackEchoBytes = 16;        // how much of the request the positive ack echoes
    DoipFaults faults;
};

class DoipServer {
public:
    DoipServer(EcuModel& model, DoipServerConfig config);
    ~DoipServer();
    DoipServer(const DoipServer&) = delete;
    DoipServer& operator=(const DoipServer&) = delete;

    // Opens the sockets and starts the server thread; throws std::runtime_error on failure.
    void start();
    void stop();
    uint16_t tcpPort() const { return tcpPort_; }
    uint16_t udpPort() const { return udpPort_; }
    // Asks the server thread to send one alive check request to the connected tester.
    void requestAliveCheck() { aliveCheckWanted_ = true; }
    // Number of connections accepted so far.
    int connections() const { return connections_; }

private:
    struct Impl;
    void run();

    EcuModel& model_;
    DoipServerConfig cfg_;
    std::unique_ptr<Impl> impl_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> aliveCheckWanted_{false};
    std::atomic<int> connections_{0};
    uint16_t tcpPort_ = 0;
    uint16_t udpPort_ = 0;
};

}  // namespace ecusim
