// The transport seam: the eight operations the UDS engine sends and receives through.
// Implemented by the CAN transport (CANIF_), the DoIP interface (DOIPIF_), the simulator's
// in-process front-end and the tests' scripted transports.
#pragma once

#include <cstdint>

// Addressing of a request.
enum IF_tenSocketType {
    IF_SOCKET_PHY = 0,   // physical: the ECU's physical request id / target address
    IF_SOCKET_FUNC = 1,  // functional
};

// One transport: the eight operations in the order the engine binds them.
struct UDS_tstTransport {
    bool (*boInit)();
    void (*vDeinit)();
    // true when the whole request was handed to the transport
    bool (*boSendUDS)(IF_tenSocketType addressing, uint8_t* data, uint32_t length);
    // bytes of one complete UDS message placed in buffer; <= 0 when nothing arrived in time
    int (*iReceive)(uint8_t sid, uint8_t* buffer, uint32_t capacity, int timeout_ms);
    void (*vClearRxBuffer)();
    bool (*boStartTesterPresentCyclicFunc)(uint8_t* frame, uint32_t length);
    bool (*boStopTesterPresentCyclicFunc)();
    bool (*boStartStream)();
};

// Makes UDS_boInit bind `transport` instead of the CAN or DoIP transport (nullptr: back to
// the choice by --use_eth). Used by tests and by in-process simulation; the shipped
// programs never call it.
void UDS_vSetTransportOverride(const UDS_tstTransport* transport);
