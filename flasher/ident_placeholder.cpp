// Placeholder FDS project data read until the identification module lands (it replaces this
// file). Without an ECU nothing can be read: a key type already set (by the run or by a
// test) counts as known, an unknown one (2) fails as a failed read does.
#include "flasher/flash_internal.h"
#include "logging/log.h"

bool FLASH__boReadIdent_FDSProjectData() {
    if (FLASH__enKeyType != 2) return true;
    LOG_vInfo("FLASH: 0x%04X FDS Project Data: ERROR", 0xF1D5);
    return false;
}
