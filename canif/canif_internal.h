// Internals of the CAN transport, for its tests.
#pragma once

#include "canif/canif.h"

bool CANIF__boInitSocket(IF_tenSocketType type);  // one ISO-TP socket
bool CANIF__boInitCyclicFuncSocket();             // the broadcast-manager socket

struct CANIF__tstSockets {
    int phy;
    int func;
    int cyclic;
};
CANIF__tstSockets CANIF__stGetSockets();
// Forgets every descriptor without closing it (tests own their fake descriptors).
void CANIF__vResetForTest();
