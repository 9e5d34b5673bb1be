// CAN transport: UDS over ISO-TP sockets, cyclic tester present through the broadcast manager.
#pragma once

#include <cstdint>

#include "uds/uds_transport.h"

bool CANIF_boInit();
void CANIF_vDeinit();
bool CANIF_boSendUDS(IF_tenSocketType addressing, uint8_t* data, uint32_t length);
int CANIF_iReceive(uint8_t sid, uint8_t* buffer, uint32_t capacity, int timeout_ms);
void CANIF_vClearRxBuffer();
bool CANIF_boStartTesterPresentCyclicFunc(uint8_t* frame, uint32_t length);
bool CANIF_boStopTesterPresentCyclicFunc();
bool CANIF_boStartStream();
