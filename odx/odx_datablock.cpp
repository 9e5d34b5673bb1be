// The flash command record and the readers of one data block's values.
#include <cstdlib>
#include <new>

#include "logging/cnv.h"
#include "logging/log.h"
#include "odx/odx_internal.h"

ODX_tstFlashcmdParam* ODX__pstNewCmd(ODX_tenFlashCmd kind) {
    auto* cmd = new (std::nothrow) ODX_tstFlashcmdParam();
    if (cmd == nullptr) {
        LOG_vError("ODX: NewCmd: Out of memory to allocate %d Bytes", static_cast<int>(sizeof(ODX_tstFlashcmdParam)));
        return nullptr;
    }
    cmd->enFlashCmd = kind;
    cmd->enVW80126Version = ODX__enVW80126Version;
    return cmd;
}

void ODX__vFreeCmd(ODX_tstFlashcmdParam* cmd) {
    if (cmd == nullptr) return;
    std::free(cmd->pu8Data);
    delete cmd;
}

namespace {

enum class Number { Hex, Dec };

// Reads the one SEGMENT's child element of a data block as a number.
bool boReadSegmentValue(const char* id, const char* element, Number kind, uint32_t* value, const char* notFound,
                        const char* convertError) {
    ODX__Query q;
    q.boRun(ODX__pstOdxFile, "//ECU-MEMS/ECU-MEM/MEM/DATABLOCKS/DATABLOCK[@ID=\"%s\"]/SEGMENTS/SEGMENT/%s", id,
            element);
    if (q.iCount() > 1) {
        LOG_vError("ODX: More than 1 SEGMENT found for %s", id);
        return false;
    }
    const char* text = q.pcText();
    if (text == nullptr) {
        LOG_vError(notFound, q.expr());
        return false;
    }
    const bool ok = kind == Number::Hex ? CNV_boHexStrToUInt32(text, value) : CNV_boDecStrToUInt32(text, value);
    if (!ok) LOG_vError("%s", convertError);
    return ok;
}

}  // namespace

bool ODX__boGetSourceAddress(const char* id, uint32_t* value) {
    return boReadSegmentValue(id, "SOURCE-START-ADDRESS", Number::Hex, value, "ODX: GetSourceAddress %s Node not found",
                              "ODX: GetSourceAddress HexStrToUInt32 Convert");
}

bool ODX__boGetCompressedSize(const char* id, uint32_t* value) {
    return boReadSegmentValue(id, "COMPRESSED-SIZE", Number::Dec, value, "ODX: GetCompressedSize %s Node not found",
                              "ODX: GetCompressedSize HexStrToUInt32 Convert");
}

bool ODX__boGetUncompressedSize(const char* id, uint32_t* value) {
    return boReadSegmentValue(id, "UNCOMPRESSED-SIZE", Number::Dec, value,
                              "ODX: GetUncompressedSize %s Node not found",
                              "ODX: GetUncompressedSize DecStrToUInt32 Convert");
}

const char* ODX__pcGetShortName(const char* id) {
    ODX__Query q;
    q.boRun(ODX__pstOdxFile, "//ECU-MEMS/ECU-MEM/MEM/DATABLOCKS/DATABLOCK[@ID=\"%s\"]/SHORT-NAME", id);
    const char* text = q.pcText();
    if (text == nullptr) LOG_vError("ODX: GetShortName %s Node not found", q.expr());
    return text;  // owned by the document, which outlives the query result
}

const char* ODX__pcGetFlashRef(const char* id) {
    ODX__Query q;
    q.boRun(ODX__pstOdxFile, "//ECU-MEMS/ECU-MEM/MEM/DATABLOCKS/DATABLOCK[@ID=\"%s\"]/FLASHDATA-REF/@ID-REF", id);
    const char* text = q.pcSingleText();
    if (text == nullptr) LOG_vError("ODX: GetFlashRef %s not found", q.expr());
    return text;
}

bool ODX__boGetEncryptionAndCompressionMethod(const char* id, uint8_t* value) {
    const char* flashRef = ODX__pcGetFlashRef(id);
    if (flashRef == nullptr) return false;
    ODX__Query q;
    q.boRun(ODX__pstOdxFile,
            "//ECU-MEMS/ECU-MEM/MEM/FLASHDATAS/FLASHDATA[@ID=\"%s\"]/ENCRYPT-COMPRESS-METHOD[@TYPE=\"A_BYTEFIELD\"]",
            flashRef);
    const char* text = q.pcText();
    if (text == nullptr) {
        LOG_vError("ODX: GetEncryptionAndCompressionMethod %s Node not found", q.expr());
        return false;
    }
    uint32_t v = 0;
    if (!CNV_boHexStrToUInt32(text, &v)) {
        LOG_vError("ODX: GetEncryptionAndCompressionMethod HexStrToUInt32 Convert");
        return false;
    }
    *value = static_cast<uint8_t>(v & 0xFF);
    LOG_vDebug_3("ODX: EncryptionAndCompressionMethod 0x%02x", *value);
    return true;
}

uint8_t ODX__u8GetBlockNumber(const char* id) {
    const ODX__tsEcuVer* table = ODX__psBlockVersion;
    if (table == nullptr || table->u8BlockCount == 0) return ODX_NO_BLOCK;
    for (int i = 0; i < table->u8BlockCount && i < ODX_MAX_BLOCKS; ++i) {
        ODX__Query q;
        q.boRun(ODX__pstOdxFile,
                "//ECU-MEMS/ECU-MEM/MEM/DATABLOCKS/DATABLOCK[@ID=\"%s\"]/OWN-IDENTS/OWN-IDENT/SHORT-NAME[text()=\"%s\"]",
                id, table->aacBlockIdentName[i]);
        if (q.pcText() != nullptr) {
            LOG_vDebug_1("ODX: %s : %s Belongs to BlockNo %02d", id, table->aacBlockIdentName[i], i);
            return static_cast<uint8_t>(i);
        }
    }
    return ODX_NO_BLOCK;
}
