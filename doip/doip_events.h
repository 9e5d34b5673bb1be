// Events of the flasher's DoIP transport, carried by the process-wide bus `eventBus`.
#pragma once

#include <cstdint>
#include <vector>

// One DoIP message read from the TCP connection; `number` counts the messages read since
// program start, the first being 0.
struct DoIPMessageReadEvent {
    uint16_t payloadType;
    std::vector<uint8_t> payload;
    int32_t number;
};

// One UDS message received from an ECU, with the DoIP source address of its diagnostic message.
struct UdsMessage {
    std::vector<uint8_t> data;
    uint16_t sourceAddress;
};

struct DoIPConnected {};          // the channel is open and routing is active
struct DoIPDisconnected {};       // the channel is going away or being restored
struct DoIPRestoreConnection {};  // request to restore the channel (runs on the publisher's thread)
struct ConnectionLost {};         // the read thread saw the connection break
