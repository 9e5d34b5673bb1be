// Placeholder CAN transport until the ISO-TP module lands: every operation fails.
#include "canif/canif.h"

bool CANIF_boInit() { return false; }
void CANIF_vDeinit() {}
bool CANIF_boSendUDS(IF_tenSocketType, uint8_t*, uint32_t) { return false; }
int CANIF_iReceive(uint8_t, uint8_t*, uint32_t, int) { return -1; }
void CANIF_vClearRxBuffer() {}
bool CANIF_boStartTesterPresentCyclicFunc(uint8_t*, uint32_t) { return false; }
bool CANIF_boStopTesterPresentCyclicFunc() { return false; }
bool CANIF_boStartStream() { return false; }
