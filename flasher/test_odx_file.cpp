// Placeholder ODX-F test mode until the flash data module lands: always fails.
#include "flasher/flash.h"

bool FLASH_boTestOdxFile() { return false; }
