// The flasher's DoIP interface: the eight transport operations over a DoIP channel.
#pragma once

#include <cstdint>

#include "uds/uds_transport.h"

bool DOIPIF_boInit();
void DOIPIF_vDeinit();
bool DOIPIF_boSendUDS(IF_tenSocketType addressing, uint8_t* data, uint32_t length);
int DOIPIF_iReceive(uint8_t sid, uint8_t* buffer, uint32_t capacity, int timeout_ms);
void DOIPIF_vClearRxBuffer();
bool DOIPIF_boStartTesterPresentCyclicFunc(uint8_t* frame, uint32_t length);
bool DOIPIF_boStopTesterPresentCyclicFunc();
bool DOIPIF_boStartStream();
// true when the ECU answers a trial connection (or the connect hook succeeds).
bool DOIPIF_isClusterConnected();
