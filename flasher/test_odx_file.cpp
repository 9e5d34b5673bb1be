// ODX-F test mode (--test_odx_file): unpack, open the named file, build and dump its
// command list, without talking to an ECU.
#include "flasher/cfg.h"
#include "flasher/flash.h"
#include "flasher/flash_internal.h"
#include "logging/log.h"
#include "odx/odx.h"

bool FLASH_boTestOdxFile() {
    ODX_vInit();
    const std::string root = CFG_strGetDatflashPath();
    ODX_UnpackAllPDX(root);
    const std::string pattern = "^" + CFG_strGetTestOdxFilename() + "$";
    bool ok = false;
    if (ODX_boOpenOdxFile_ByPattern(root, pattern, FLASH__sOdxBlockVersion)) {
        if (ODX_boPrepareOdxCommandList()) {
            ODX_vDumpCommandList();
            LOG_vInfo("FLASH: Test File okay");
            ok = true;
        }
    }
    ODX_vDeinit();
    return ok;
}
