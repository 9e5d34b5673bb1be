// The sequencer's run operations: UDS client start and shutdown, and one flash session
// framed by the START and END lines the station script looks for.
#include <exception>

#include "flasher/cfg.h"
#include "flasher/flash.h"
#include "flasher/flash_seq.h"
#include "logging/log.h"
#include "odx/odx.h"
#include "uds/uds.h"

namespace {

// An exception that escapes the procedure (a fault below it, not an ECU answer) ends the
// session as a flashing error; the document is closed so nothing of the run stays open.
FLASH_tenResult runProcedure() {
    try {
        return FLASH__enDoFlash();
    } catch (const std::exception& e) {
        LOG_vError("FLASH: Exception: %s", e.what());
    } catch (...) {
        LOG_vError("FLASH: Unknown exception");
    }
    try {
        ODX_vDeinit();
    } catch (...) {
    }
    return FLASH_RES_FLASH_ERROR;
}

}  // namespace

bool FLASH_boInit() {
    FLASH__enKeyType = 2;
    if (!UDS_boInit()) {
        LOG_vError("FLASH: UDS Init Failed");
        return false;
    }
    return true;
}

void FLASH_vDeinit() { UDS_vDeinit(); }

int FLASH_iMain() {
    UDS_vWaitUntilECUConnected();
    if (!UDS_boStartStream()) {
        LOG_vError("FLASH: Could not start stream");
        return FLASH_RES_FLASH_INIT_FAILED;
    }
    UDS_vClearRxBuffer();

    const bool testerPresent = CFG_boTesterPresentEnabled();
    if (testerPresent) {
        if (UDS_boStartTesterPresentCyclicFunc()) {
            LOG_vInfo("FLASH: Started sending Func Tester Presents");
        } else {
            LOG_vError("FLASH: Could not start Func Tester Presents");
        }
    } else {
        LOG_vInfo("FLASH: Sending of Tester Presents is disabled");
    }

    LOG_vInfo("FLASH: *** START ****************************************************");
    const FLASH_tenResult result = runProcedure();
    LOG_vInfo("FLASH: *** END (Result %d) ****************************************************", result);

    if (testerPresent && !UDS_boStopTesterPresentCyclicFunc()) {
        LOG_vError("FLASH: Could not stop Func Tester Presents");
    }
    return result;
}
