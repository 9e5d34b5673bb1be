// CAN front-end of the simulated ECU: two ISO-TP sockets on a CAN interface, one receiving the
// tester's physical requests and one its functional requests, both answering on the ECU's
// response identifier, over classic CAN or CAN FD. The kernel does the segmentation, flow
// control and padding; the ECU drops frames of the tester that are not padded to their full
// length with the padding byte (strict), so a tester that does not pad gets no answer.
// Identifiers of 0x800 and above are 29-bit extended identifiers.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "sim/ecu_model.h"

namespace ecusim {

struct CanServerConfig {
    std::string interface = "vcan0";
    uint32_t physicalId = 0x714;    // the tester's physical requests
    uint32_t functionalId = 0x700;  // the tester's functional requests
    uint32_t responseId = 0x77E;    // the ECU's answers
    uint8_t padding = 0xAA;
    bool checkPadding = true;       // drop frames of the tester that are not fully padded
    bool canfd = false;             // link-layer options below in force
    uint8_t mtu = 72;               // 72: CAN FD frames, 16: classic
    uint8_t txDl = 64;              // data length of the ECU's frames
    uint8_t txFlags = 1;            // CAN FD flags (1: bit rate switch)
    uint8_t blockSize = 0;          // announced in the ECU's flow control
    uint8_t stmin = 0;              // announced in the ECU's flow control (ISO-TP coding)
};

// Reads "<mtu>:<tx_dl>:<tx_flags>" into the config and turns CAN FD on; false when malformed.
bool parseCanFdOptions(const std::string& text, CanServerConfig& config);

class CanServer {
public:
    CanServer(EcuModel& model, CanServerConfig config);
    ~CanServer();
    CanServer(const CanServer&) = delete;
    CanServer& operator=(const CanServer&) = delete;

    // Opens and binds both sockets and starts the server thread; throws std::runtime_error
    // (with the system's reason) when the interface or ISO-TP is not there.
    void start();
    void stop();
    // Requests handed to the model so far.
    unsigned requests() const { return requests_; }

private:
    int openSocket(uint32_t rxId, const char* what);
    void run();
    bool pause(int ms);  // false when stopped meanwhile

    EcuModel& model_;
    CanServerConfig cfg_;
    int phy_ = -1;
    int func_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<unsigned> requests_{0};
};

}  // namespace ecusim
