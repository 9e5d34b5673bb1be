// Check-memory commands: the signature and/or checksum of one data block, from the ODX-F
// document or from a signature file chosen by the ECU's key type.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "flasher/cfg.h"
#include "flasher/flash_internal.h"
#include "logging/cnv.h"
#include "logging/log.h"
#include "odx/odx_internal.h"
#include "odx/ofman.h"

namespace {

// Queries one security element of a data block: in the data block for ODX-F files, in the
// session (selected by the block's short name) for other files.
void vQuerySecurity(ODX__Query& q, const char* id, const char* shortName, const char* last) {
    if (ODX__boFileIsODXF) {
        q.boRun(ODX__pstOdxFile, "//ECU-MEMS/ECU-MEM/MEM/DATABLOCKS/DATABLOCK[@ID=\"%s\"]/SECURITYS/SECURITY/%s", id,
                last);
    } else {
        q.boRun(ODX__pstOdxFile,
                "//ECU-MEMS/ECU-MEM/MEM/SESSIONS/SESSION[@ID=\"%s.%s\"]/SECURITYS/SECURITY[VALIDITY-FOR=\"%s\"]/%s",
                ODX__acEcuMemRef, ODX__acSessionSnref, shortName, last);
    }
}

const char* const METHOD = "SECURITY-METHOD[@TYPE=\"A_ASCIISTRING\"]";
const char* const SIGNATURE = "FW-SIGNATURE[@TYPE=\"A_BYTEFIELD\"]";
const char* const CHECKSUM = "FW-CHECKSUM[@TYPE=\"A_BYTEFIELD\"]";

}  // namespace

bool ODX__boReadSignature(char* buffer, const char* shortName) {
    FLASH__boReadIdent_FDSProjectData();
    const char* set = "E";
    if (FLASH__enKeyType == 1) {
        set = "S";
    } else if (FLASH__enKeyType != 0) {
        LOG_vError("ODX: Did not get information about Development or Series -> try with Development");
    }

    OFMAN_vInit();
    const uint16_t found = OFMAN_u16FindFiles(CFG_strGetDatflashPath(), "^" + CFG_strGetSigFilename() + "$");
    const std::string path = found == 1 ? OFMAN_strGetODXFilePath(0) : std::string();
    OFMAN_vDeinit();
    if (found == 0) {
        LOG_vError("ODX: Did not find any signature files");
        return false;
    }
    if (found > 1) {
        LOG_vError("ODX: Found more than one signature file");
        return false;
    }

    LOG_vDebug_1("ODX: Reading Signature from %s", path.c_str());
    xmlDocPtr doc = ODX__pstOpenODXDocument(path.c_str());
    if (doc == nullptr) {
        LOG_vError("ODX: Cannot open %s", path.c_str());
        return false;
    }
    bool ok = false;
    {
        ODX__Query q;
        q.boRun(doc,
                "//FDS-PROJECT/FDS-SIGNATURES[@TYPE=\"%s\"]/FDS-SIGNATURE/DATABLOCK-SNREF[text()=\"%s\"]/../"
                "FW-SIGNATURE",
                set, shortName);
        const char* sig = q.pcSingleText();
        if (sig == nullptr) {
            LOG_vError("ODX: Cannot find Signature for %s", shortName);
        } else if (ODX__boCopyText(buffer, ODX_SIGNATURE_SIZE, sig, "Signature")) {
            LOG_vDebug_1("ODX: Found Signature %s for %s", buffer, shortName);
            ok = true;
        }
    }
    xmlFreeDoc(doc);
    return ok;
}

ODX_tstFlashcmdParam* ODX__pstBuildSignature(const char* id) {
    // Without a short name the session-form queries find nothing and no signature file
    // entry matches, so no check-memory command can result from it.
    const char* sn = ODX__pcGetShortName(id);
    const std::string shortName = sn ? sn : "";

    ODX_tstFlashcmdParam* cmd = ODX__pstNewCmd(ODX_CMD_ERROR);
    if (cmd == nullptr) {
        LOG_vError("ODX: BuildSignature: Out of memory to allocate %d Bytes",
                   static_cast<int>(sizeof(ODX_tstFlashcmdParam)));
        return nullptr;
    }

    ODX__Query q;
    vQuerySecurity(q, id, shortName.c_str(), METHOD);
    const char* methodText = q.pcText();
    if (methodText == nullptr) {
        LOG_vError("ODX: No SECURITY-METHOD for %s", shortName.c_str());
        return cmd;
    }
    const std::string method(methodText);

    std::string text;  // the hex text the command's bytes are made of
    if (method.compare(0, 3, "SIG") == 0) {
        LOG_vDebug_1("ODX: Found %s method for %s using SIG path", method.c_str(), shortName.c_str());
        std::string signature;
        if (!CFG_strGetSigFilename().empty()) {
            std::unique_ptr<char[]> sigBuffer(new char[ODX_SIGNATURE_SIZE]());
            if (ODX__boReadSignature(sigBuffer.get(), shortName.c_str())) signature = sigBuffer.get();
        } else {
            vQuerySecurity(q, id, shortName.c_str(), SIGNATURE);
            if (const char* s = q.pcText()) {
                LOG_vDebug_3("ODX: FW-SIGNATURE: %s", s);
                signature = s;
            } else {
                LOG_vError("ODX: No FW-SIGNATURE for %s found", shortName.c_str());
            }
        }
        text = signature;
        vQuerySecurity(q, id, shortName.c_str(), CHECKSUM);
        if (const char* checksum = q.pcText()) {
            LOG_vDebug_3("ODX: FW-CHECKSUM: %s", checksum);
            text = signature + checksum;
            if (ODX__boGetEncryptionAndCompressionMethod(id, &cmd->u8CompEncMethod)) {
                if (cmd->u8CompEncMethod == 0) {
                    LOG_vDebug_1("ODX: Using only FW-SIGNATURE for CheckMemory");
                    text = signature;
                } else {
                    LOG_vDebug_1("ODX: Using FW-SIGNATURE + FW-CHECKSUM for CheckMemory");
                }
            }
        } else {
            LOG_vInfo("ODX: No FW-CHECKSUM for SIG %s found", shortName.c_str());
        }
        // A signature that could not be found leaves no text: no command is built from it.
        if (signature.empty()) text.clear();
    } else {
        LOG_vDebug_1("ODX: Found %s method for %s using CHECKSUM", method.c_str(), shortName.c_str());
        vQuerySecurity(q, id, shortName.c_str(), CHECKSUM);
        if (const char* checksum = q.pcText()) {
            text = checksum;
        } else {
            LOG_vError("ODX: No FW-CHECKSUM for  %s found", shortName.c_str());
        }
    }

    LOG_vDebug_3("ODX: Using Signature: %s", text.c_str());
    const size_t allocLength = text.size() / 2;
    uint8_t* bytes = nullptr;
    if (allocLength > 0) {
        bytes = static_cast<uint8_t*>(std::malloc(allocLength));
        if (bytes == nullptr) {
            LOG_vError("ODX: Build Signature: Out of memory to allocate %d Bytes", static_cast<int>(allocLength));
            ODX__vFreeCmd(cmd);
            return nullptr;
        }
    }
    const uint32_t count = allocLength > 0 ? CNV_u32HexStrToByteArray(text.c_str(), bytes) : 0;
    cmd->pu8Data = bytes;
    if (count == 0 || count > 0xFFFF) {
        if (count > 0xFFFF) LOG_vError("ODX: Build Signature: %u Bytes do not fit a check memory request", count);
        LOG_vError("ODX: Build Signature: Convert Error %s", text.c_str());
        ODX__vFreeCmd(cmd);
        return nullptr;
    }
    cmd->u16SigLength = static_cast<uint16_t>(count);
    LOG_vDebug_3("ODX: Signature Size is %d", cmd->u16SigLength);
    cmd->enFlashCmd = ODX_CMD_CHECK_MEMORY;

    if (!ODX__boGetSourceAddress(id, &cmd->u32MemAddress)) {
        LOG_vError("ODX: BuildSignature GetSourceAddress %s", q.expr());
        ODX__vFreeCmd(cmd);
        return nullptr;
    }
    if (!ODX__boGetUncompressedSize(id, &cmd->u32MemSize)) {
        LOG_vError("ODX: BuildSignature GetUncompressedSize %s", q.expr());
        ODX__vFreeCmd(cmd);
        return nullptr;
    }
    cmd->u8Alfid = ODX__u8AlfidCheckMemory;
    return cmd;
}
