// An ODX-F document through the readers (references, versions, expected identifications,
// SA2 data) and the command-list builder, as the flasher opens it from a package directory.
#include <cstdint>
#include <cstring>

#include "flasher/flash_internal.h"
#include "fuzz/fuzz_support.h"
#include "odx/odx.h"

using namespace fuzzsupport;

namespace {

fs::path Root() { return TempRoot() / "datflash"; }
fs::path PackageDir() { return Root() / "Unpacked" / "Cluster.pdx"; }

bool Terminated(const char* text, size_t size) { return std::memchr(text, '\0', size) != nullptr; }

void CheckRecord(const ODX__tsEcuVer& rec) {
    if (!Terminated(rec.acEcuVersion, sizeof rec.acEcuVersion)) __builtin_trap();
    if (rec.u8BlockCount > ODX_MAX_BLOCKS) __builtin_trap();
    for (int i = 0; i < rec.u8BlockCount; ++i) {
        if (!Terminated(rec.aacBlockVersion[i], ODX_VERSION_SIZE)) __builtin_trap();
        if (!Terminated(rec.aacBlockIdentName[i], ODX_IDENT_NAME_SIZE)) __builtin_trap();
    }
}

void WalkCommandList() {
    for (int i = 0; i < 4 * ODX_MAX_BLOCKS + 8; ++i) {
        ODX_tstFlashcmdParam cmd;
        ODX_vGetNextOdxCommand(&cmd);
        if (cmd.enFlashCmd == ODX_CMD_FINISH || cmd.enFlashCmd == ODX_CMD_ERROR) return;
        if (cmd.enFlashCmd == ODX_CMD_DOWNLOAD && cmd.pu8Data != nullptr) {
            if (cmd.boIsFile) {
                const char* path = reinterpret_cast<const char*>(cmd.pu8Data);
                if (!Terminated(path, 4096)) __builtin_trap();
                // A data file is read only from the package directory of the document.
                const std::string normal = fs::path(path).lexically_normal().string();
                const std::string package = PackageDir().string() + "/";
                if (normal.compare(0, package.size(), package) != 0) __builtin_trap();
            } else {
                Touch(cmd.pu8Data, ODX_u32TransferSize(cmd));
            }
        }
        if (cmd.enFlashCmd == ODX_CMD_CHECK_MEMORY && cmd.pu8Data != nullptr) Touch(cmd.pu8Data, cmd.u16SigLength);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool once = [] {
        // Layer documents and the block data file the seed documents refer to.
        WriteFile(Root() / "layers" / "EV_ClusterUDS_001.odx", Fixture("odx/layer_cluster.odx"));
        WriteFile(Root() / "layers" / "EV_5G0920861A_001.odx", SourceFile("fuzz/fixtures/EV_5G0920861A_001.odx"));
        WriteFile(PackageDir() / "5G0920861A_0221_B1.bin", std::string(512, '\x5A'));
        Configure({"--datflash_path", Root().string()});
        return true;
    }();
    (void)once;

    const fs::path file = PackageDir() / "FL_5G0920320A_0221.odx-f";
    WriteFile(file, data, size);
    FLASH__enKeyType = 2;
    ODX_vInit();
    ODX__tsEcuVer rec{};
    if (ODX_boOpenOdxFile(file.string(), rec)) {
        CheckRecord(rec);
        ODX__tstExpectedIdents idents{};
        if (ODX_boGetExpectedIdents(&idents)) {
            if (idents.count > ODX_MAX_EXPECTED_IDENTS) __builtin_trap();
            for (int i = 0; i < idents.count; ++i) {
                if (!Terminated(idents.names[i], ODX_IDENT_NAME_SIZE)) __builtin_trap();
                ODX_boCheckExpectedIdent(idents.names[i], "0221");
            }
        }
        if (ODX_boPrepareOdxCommandList()) {
            WalkCommandList();
            ODX_vDumpCommandList();
            ODX_tstSA2KeyParam key{};
            if (ODX_boGetSA2Key(&key)) {
                if (key.length < 1 || key.length > ODX_SA2_BUFFER_SIZE || key.bytes == nullptr) __builtin_trap();
                Touch(key.bytes, key.length);
            }
        }
    }
    ODX_vDeinit();
    LOG_vFlush();
    return 0;
}
