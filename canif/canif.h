// CAN transport: UDS over ISO-TP sockets, cyclic tester present through the broadcast manager.
#pragma once

#include <cstdint>

#include "uds/uds_transport.h"

bool CANIF_boInit();                                                              // opens all sockets
void CANIF_vDeinit();                                                             // closes every open socket
bool CANIF_boSendUDS(IF_tenSocketType addressing, uint8_t* data, uint32_t length);  // one request
int CANIF_iReceive(uint8_t sid, uint8_t* buffer, uint32_t capacity, int timeout_ms);  // one answer, 0: none
void CANIF_vClearRxBuffer();                                                      // drops waiting answers
bool CANIF_boStartTesterPresentCyclicFunc(uint8_t* frame, uint32_t length);       // kernel-timed tester present
bool CANIF_boStopTesterPresentCyclicFunc();                                       // stops it
bool CANIF_boStartStream();                                                       // always true on CAN
// Periodic frame on any identifier and period (the tester present's general form).
bool CANIF_boStartCyclicMessage(uint32_t period_ms, uint64_t can_id, uint8_t* data, uint32_t length);
bool CANIF_boStopCyclicMessage(uint64_t can_id);
