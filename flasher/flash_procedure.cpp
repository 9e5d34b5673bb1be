// The flash procedure: one whole programming (or identification-reading) session against an
// ECU that already answers, ending in exactly one of the endings with its banner.
#include <time.h>

#include <cerrno>
#include <cstring>

#include "flasher/cfg.h"
#include "flasher/flash_seq.h"
#include "flasher/status_events.h"
#include "logging/log.h"
#include "odx/odx.h"
#include "uds/uds.h"

time_t FLASH__tTime;
struct tm FLASH__stTime;
ODX_tstSA2KeyParam FLASH__stSA2Key;

namespace {

void takeTimeStamp() {
    FLASH__tTime = time(nullptr);
    localtime_r(&FLASH__tTime, &FLASH__stTime);
}

void (*sleepHook)(long ms) = nullptr;

void sleepMs(long ms) {
    if (sleepHook != nullptr) {
        sleepHook(ms);
        return;
    }
    struct timespec rest = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

// Run-time and end lines, then the ODX-F document is closed.
void closeRun(time_t start) {
    LOG_vInfo("FLASH: Runtime: %0.0f seconds", difftime(time(nullptr), start));
    takeTimeStamp();
    LOG_vInfo("FLASH: End: %02d.%02d.%04d %02d:%02d", FLASH__stTime.tm_mday, FLASH__stTime.tm_mon + 1,
              FLASH__stTime.tm_year + 1900, FLASH__stTime.tm_hour, FLASH__stTime.tm_min);
    ODX_vDeinit();
}

FLASH_tenResult endWithError(time_t start, bool fatal, bool reset, FLASH_tenResult result) {
    FLASH__vDoFlashError(start, fatal, reset);
    return result;
}

FLASH_tenResult endWithOdxFileError(time_t start) {
    FLASH__vPostProgrammingSteps();
    LOG_vError("     *****************************");
    LOG_vError("     ***                       ***");
    LOG_vError("     ***     ODX FILE ERROR!   ***");
    LOG_vError("     ***                       ***");
    LOG_vError("     *****************************");
    FLASH_NotifyFlashingFailed();
    closeRun(start);
    return FLASH_RES_FLASHFILE_PROBLEM;
}

FLASH_tenResult endSoftwareCurrent(time_t start) {
    FLASH__vPostProgrammingSteps();
    LOG_vInfo("     *****************************************");
    LOG_vInfo("     ***   FINISHED: Software is Current!  ***");
    LOG_vInfo("     *****************************************");
    FLASH_NotifyFlashingFinished();
    closeRun(start);
    return FLASH_RES_NO_UPDATE_NEEDED;
}

FLASH_tenResult endWithSuccess(time_t start) {
    FLASH__vPostProgrammingSteps();
    LOG_vInfo("     ****************************");
    LOG_vInfo(CFG_boOnlyReadIdents() ? "     ***   Read Idents Okay   ***" : "     ***   Programming Okay   ***");
    LOG_vInfo("     ****************************");
    FLASH_NotifyFlashingFinished();
    closeRun(start);
    return FLASH_RES_OK;
}

// Software version, consistency and block versions after programming; 0 or 8.
FLASH_tenResult checkSoftwareAfterProgramming() {
    LOG_vInfo("FLASH: Checking software versions after Programming...");
    if (!FLASH__boReadIdent_VWSoftwareVersionNumber()) {
        LOG_vError("FLASH: Cannot Read VW Software VersionNumber");
        return FLASH_RES_POSTPROCESSING_FAILED;
    }
    const char* ecuVersion = FLASH__acVWSoftwareVersionNumber;
    const char* fileVersion = FLASH__sOdxBlockVersion.acEcuVersion;
    if (std::strcmp(ecuVersion, fileVersion) != 0) {
        LOG_vError("FLASH: Software Version is not Identical ECU:%s ODX:%s", ecuVersion, fileVersion);
        return FLASH_RES_POSTPROCESSING_FAILED;
    }
    LOG_vInfo("FLASH: Software Version is Identical ECU:%s ODX:%s", ecuVersion, fileVersion);
    if (!FLASH__boReadIdent_ECUProgrammingInformation()) {
        LOG_vError("FLASH: Cannot Read Programming Information");
        return FLASH_RES_POSTPROCESSING_FAILED;
    }
    if (!FLASH__boECUConsistent) {
        LOG_vError("FLASH: ECU Software is Inconsistent");
        return FLASH_RES_POSTPROCESSING_FAILED;
    }
    LOG_vInfo("FLASH: ECU Software is Consistent");
    if (CFG_boPartialFlashDisabled()) return FLASH_RES_OK;
    if (!FLASH__boReadIdent_BlockVersionsAndFingerprints()) {
        LOG_vError("FLASH: Cannot Read Block Versions and Fingerprints");
        return FLASH_RES_POSTPROCESSING_FAILED;
    }
    return FLASH__enCheckBlocksAgainstODX() == 0 ? FLASH_RES_OK : FLASH_RES_POSTPROCESSING_FAILED;
}

void waitBeforeSecurityAccess() {
    const int32_t delay = CFG_i32GetSecurityAccessDelay();
    if (delay != 0) LOG_vDebug_1("FLASH: SecurityAccessDelay = %d ms", delay);
    if (delay > 0) sleepMs(delay);
}

}  // namespace

void FLASH__vSetSleepHookForTest(void (*hook)(long ms)) { sleepHook = hook; }

void FLASH__vDoFlashError(time_t start, bool fatal, bool reset) {
    FLASH__vPostProgrammingSteps();
    if (reset) FLASH__boDoEcuReset();
    sleepMs(1000);
    LOG_vError("     **************************");
    LOG_vError("     ***                    ***");
    LOG_vError(fatal ? "     ***     FATAL ERROR!   ***" : "     ***        ERROR!      ***");
    LOG_vError("     ***                    ***");
    LOG_vError("     **************************");
    FLASH_NotifyFlashingFailed();
    closeRun(start);
}

FLASH_tenResult FLASH__enDoFlash() {
    const bool readIdents = CFG_boOnlyReadIdents();

    ODX_vInit();
    takeTimeStamp();
    const time_t start = FLASH__tTime;
    LOG_vInfo("FLASH: Start: %02d.%02d.%04d %02d:%02d", FLASH__stTime.tm_mday, FLASH__stTime.tm_mon + 1,
              FLASH__stTime.tm_year + 1900, FLASH__stTime.tm_hour, FLASH__stTime.tm_min);

    if (!readIdents) {
        FLASH_NotifyOpeningODXFile();
        const int choice = FLASH__enOpenODXFile(CFG_strGetOdxFilename(), CFG_strGetDatflashPath());
        if (choice == 4) return endWithOdxFileError(start);
        if (choice == 1) return endSoftwareCurrent(start);
        if (choice != 0) return endWithError(start, true, true, FLASH_RES_FLASH_ERROR);
        if (!ODX_boPrepareOdxCommandList()) {
            LOG_vError("FLASH: Prepare Command List Failed");
            return endWithError(start, true, true, FLASH_RES_FLASH_ERROR);
        }
    }

    FLASH_NotifyFlashingStarted();

    if (CFG_boExtendedSessionDisabled()) {
        LOG_vInfo("FLASH: Extended Session disabled");
    } else {
        LOG_vInfo("FLASH: Extended Session");
        if (UDS_enDiagnosticSessionControl(UDS_DIAG_SESSION_EXTENDED, UDS_SUPPRESS_POS_RESP_OFF) != UDS_RES_OK) {
            LOG_vError("FLASH: Failed Changing to Extended Session");
            return endWithError(start, true, true, FLASH_RES_FLASH_ERROR);
        }
    }

    if (readIdents) {
        LOG_vInfo("FLASH: Reading Identifications from Application Session");
        FLASH__boReadIdentifications();
    } else if (FLASH__vPreProgrammingSteps() != 0) {
        return endWithError(start, true, true, FLASH_RES_FLASH_ERROR);
    }

    LOG_vInfo("FLASH: Change to Programming Session");
    FLASH__vInvalidate_Idents();
    if (UDS_enDiagnosticSessionControl(UDS_DIAG_SESSION_PROGRAMMING, UDS_SUPPRESS_POS_RESP_OFF) != UDS_RES_OK) {
        LOG_vError("FLASH: Failed to change to Programming Session");
        return endWithError(start, true, true, FLASH_RES_FLASH_ERROR);
    }

    if (readIdents) {
        LOG_vInfo("FLASH: Reading Identifications from Programming Session");
        FLASH__boReadIdentifications();
    } else {
        LOG_vInfo("FLASH: Security Access");
        if (!ODX_boGetSA2Key(&FLASH__stSA2Key)) {
            LOG_vError("FLASH: Failed Reading SA2 Key from ODX File");
            return endWithError(start, true, true, FLASH_RES_FLASH_ERROR);
        }
        waitBeforeSecurityAccess();
        if (!UDS_boDoSA2Access(FLASH__stSA2Key.bytes, FLASH__stSA2Key.length)) {
            LOG_vError("FLASH: ECU Security Access Failed");
            return endWithError(start, true, true, FLASH_RES_FLASH_ERROR);
        }
        if (!FLASH__boWriteFingerprint()) {
            LOG_vError("FLASH: Write Fingerprint Failed");
            return endWithError(start, true, true, FLASH_RES_FLASH_ERROR);
        }
        if (runProgrammingLoop() == 5) return endWithError(start, true, true, FLASH_RES_FLASH_ERROR);

        LOG_vInfo("FLASH: Check Programming Dependencies");
        if (!UDS_boDoCheckProgrammingDependencies()) {
            LOG_vError("FLASH: Check Programming Dependencies failed");
            return endWithError(start, false, true, FLASH_RES_DEPENDENCIES_FAILED);
        }
    }

    FLASH__vInvalidate_Idents();
    if (!FLASH__boDoEcuReset()) {
        LOG_vError("ECU Reset after Programming failed");
        return endWithError(start, true, true, FLASH_RES_RESET_FAILED);
    }
    LOG_vDebug_1("ECU Reset after Programming successful");

    if (readIdents) {
        LOG_vError("FLASH: Read Identifications after Reset");
        FLASH__boReadIdentifications();
        return endWithSuccess(start);
    }

    if (!CFG_boDisableWritePrgDateAndTestSerial() && !FLASH__boWritePrgDateAndTestSerial()) {
        LOG_vError("FLASH: Failed Writing Programming Date and Serial Number after Programming");
        return endWithError(start, true, true, FLASH_RES_FLASH_ERROR);
    }

    if (CFG_boDisableFinalSWCheck()) {
        LOG_vInfo("FLASH: Skip checking software versions after programming");
        return endWithSuccess(start);
    }
    if (checkSoftwareAfterProgramming() != FLASH_RES_OK) {
        return endWithError(start, false, false, FLASH_RES_POSTPROCESSING_FAILED);
    }
    return endWithSuccess(start);
}
