// Placeholder DoIP interface until the DoIP transport lands: every operation fails.
#include "doip/doipif.h"

bool DOIPIF_boInit() { return false; }
void DOIPIF_vDeinit() {}
bool DOIPIF_boSendUDS(IF_tenSocketType, uint8_t*, uint32_t) { return false; }
int DOIPIF_iReceive(uint8_t, uint8_t*, uint32_t, int) { return -1; }
void DOIPIF_vClearRxBuffer() {}
bool DOIPIF_boStartTesterPresentCyclicFunc(uint8_t*, uint32_t) { return false; }
bool DOIPIF_boStopTesterPresentCyclicFunc() { return false; }
bool DOIPIF_boStartStream() { return false; }
bool DOIPIF_isClusterConnected() { return false; }
