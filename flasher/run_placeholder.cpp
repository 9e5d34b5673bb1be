// Placeholder run operations until the flash sequencer lands: initialisation always fails,
// so the program can never report a run it did not perform.
#include "flasher/flash.h"
#include "logging/log.h"

bool FLASH_boInit() {
    LOG_vError("FLASH: UDS Init Failed");
    return false;
}
int FLASH_iMain() { return 5; }
void FLASH_vDeinit() {}
