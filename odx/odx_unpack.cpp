// Unpacking every PDX archive below the flash-file root.
#include <cstdlib>

#include "logging/log.h"
#include "odx/odx.h"
#include "odx/ofman.h"
#include "odx/pdx.h"

void ODX_UnpackAllPDX(const std::string& root) {
    LOG_vDebug_1("ODX: UnpackAllPDX in: %s", root.c_str());
    OFMAN_vInit();
    const uint16_t count = OFMAN_u16FindFiles(root, ".*.pdx$");
    for (uint16_t i = 0; i < count; ++i) PDX_boUnpack(OFMAN_strGetODXFilePath(i));
    OFMAN_vDeinit();
    const int rc = std::system("sync");
    LOG_vDebug_1("ODX: sync file system: %d", rc);
}
