// A signature file (--sig_file) read for the development and the series key type, directly
// and through the check-memory commands of the sample ODX-F document's command list.
#include <cstdint>
#include <cstring>
#include <memory>

#include "flasher/flash_internal.h"
#include "fuzz/fuzz_support.h"
#include "odx/odx.h"
#include "odx/odx_internal.h"

using namespace fuzzsupport;

namespace {

fs::path Root() { return TempRoot() / "datflash"; }

void WalkCheckMemoryCommands() {
    for (int i = 0; i < 4 * ODX_MAX_BLOCKS + 8; ++i) {
        ODX_tstFlashcmdParam cmd;
        ODX_vGetNextOdxCommand(&cmd);
        if (cmd.enFlashCmd == ODX_CMD_FINISH || cmd.enFlashCmd == ODX_CMD_ERROR) return;
        if (cmd.enFlashCmd == ODX_CMD_CHECK_MEMORY && cmd.pu8Data != nullptr) Touch(cmd.pu8Data, cmd.u16SigLength);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fs::path odxFile = Root() / "Unpacked" / "Cluster.pdx" / "FL_5G0920320A_0221.odx-f";
    static const bool once = [] {
        WriteFile(Root() / "layers" / "EV_ClusterUDS_001.odx", Fixture("odx/layer_cluster.odx"));
        WriteFile(odxFile, Fixture("odx/flash_session.odx-f"));
        Configure({"--datflash_path", Root().string(), "--sig_file", "signatures.xml"});
        return true;
    }();
    (void)once;

    WriteFile(Root() / "signatures.xml", data, size);
    for (int keyType = 0; keyType <= 1; ++keyType) {
        FLASH__enKeyType = keyType;
        std::unique_ptr<char[]> buffer(new char[ODX_SIGNATURE_SIZE]());
        if (ODX__boReadSignature(buffer.get(), "App") &&
            std::memchr(buffer.get(), '\0', ODX_SIGNATURE_SIZE) == nullptr)
            __builtin_trap();
    }

    FLASH__enKeyType = size > 0 ? (data[0] & 1) : 0;
    ODX_vInit();
    ODX__tsEcuVer rec{};
    if (ODX_boOpenOdxFile(odxFile.string(), rec) && ODX_boPrepareOdxCommandList()) WalkCheckMemoryCommands();
    ODX_vDeinit();
    FLASH__enKeyType = 2;
    LOG_vFlush();
    return 0;
}
