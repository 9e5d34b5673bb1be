// Process-wide state of the flash sequencer shared with the flash data module.
#include "flasher/flash_internal.h"

int FLASH__enKeyType = 2;
ODX__tsEcuVer FLASH__sOdxBlockVersion = {};
