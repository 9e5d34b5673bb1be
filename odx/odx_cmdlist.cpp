// The flash command list: classification of data blocks, command builders, flash data
// (inline or in a file beside the ODX-F file), the read cursor and the dump.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>

#include "logging/cnv.h"
#include "logging/log.h"
#include "odx/odx_internal.h"
#include "odx/pdx.h"

namespace fs = std::filesystem;

namespace {

struct ODX__tstCmdNode {
    ODX_tstFlashcmdParam* cmd;
    ODX__tstCmdNode* next;
};

ODX__tstCmdNode* ODX__pstCommandList = nullptr;
ODX__tstCmdNode* ODX__pstCommandTail = nullptr;
ODX__tstCmdNode* ODX__pstCurrentCmdInList = nullptr;

// Reads address, uncompressed size, method, compressed size and data of a download.
bool boFillDownload(ODX_tstFlashcmdParam* cmd, const char* id, bool withBlockNumber) {
    if (!ODX__boGetSourceAddress(id, &cmd->u32MemAddress)) return false;
    if (!ODX__boGetUncompressedSize(id, &cmd->u32MemSize)) return false;
    if (!ODX__boGetEncryptionAndCompressionMethod(id, &cmd->u8CompEncMethod)) return false;
    cmd->u8Alfid = ODX__u8AlfidRequestDownload;
    cmd->u8BlockNo = withBlockNumber ? ODX__u8GetBlockNumber(id) : ODX_NO_BLOCK;
    if (!ODX__boGetCompressedSize(id, &cmd->u32MemSizeComp)) cmd->u32MemSizeComp = 0;
    bool isFile = false;
    cmd->pu8Data = ODX__pau8GetData(id, ODX_u32TransferSize(*cmd), &isFile);
    cmd->boIsFile = isFile;
    return cmd->pu8Data != nullptr;
}

ODX_tstFlashcmdParam* pstBuildDownload(const char* id, bool withBlockNumber, const char* oomText) {
    ODX_tstFlashcmdParam* cmd = ODX__pstNewCmd(ODX_CMD_DOWNLOAD);
    if (cmd == nullptr) {
        LOG_vError(oomText, static_cast<int>(sizeof(ODX_tstFlashcmdParam)));
        return nullptr;
    }
    if (!boFillDownload(cmd, id, withBlockNumber)) {
        ODX__vFreeCmd(cmd);
        return nullptr;
    }
    return cmd;
}

void vLogAccepted(const char* tag, const ODX_tstFlashcmdParam* cmd, const char* id) {
    LOG_vInfo("ODX: %s Alfid:%02X BN:%3d %s", tag, cmd->u8Alfid, cmd->u8BlockNo, id);
}

// Appends a download and the check memory of its signature (if one was built). A block
// without security method drops both: false.
bool boAddDownloadAndCheck(ODX_tstFlashcmdParam* download, const char* tag, const char* id) {
    ODX_tstFlashcmdParam* sig = ODX__pstBuildSignature(id);
    if (sig != nullptr && sig->enFlashCmd == ODX_CMD_ERROR) {
        ODX__vFreeCmd(download);
        ODX__vFreeCmd(sig);
        return false;
    }
    vLogAccepted(tag, download, id);
    ODX__vAddFlashCmd(download);
    if (sig != nullptr) {
        sig->u8BlockNo = download->u8BlockNo;
        vLogAccepted("SIG", sig, id);
        ODX__vAddFlashCmd(sig);
    }
    return true;
}

}  // namespace

ODX_tstFlashcmdParam* ODX__pstBuildErrorCmd() {
    ODX_tstFlashcmdParam* cmd = ODX__pstNewCmd(ODX_CMD_ERROR);
    if (cmd == nullptr) {
        LOG_vError("ODX: BuildErrorCmd: Out of memory to allocate %d Bytes",
                   static_cast<int>(sizeof(ODX_tstFlashcmdParam)));
    }
    return cmd;
}

ODX_tstFlashcmdParam* ODX__pstBuildEraseCmd(const char* id) {
    ODX_tstFlashcmdParam* cmd = ODX__pstNewCmd(ODX_CMD_ERASE);
    if (cmd == nullptr) {
        LOG_vError("ODX: BuildEraseCmd: Out of memory to allocate %d Bytes",
                   static_cast<int>(sizeof(ODX_tstFlashcmdParam)));
        return nullptr;
    }
    if (!ODX__boGetSourceAddress(id, &cmd->u32MemAddress) || !ODX__boGetUncompressedSize(id, &cmd->u32MemSize)) {
        ODX__vFreeCmd(cmd);
        return nullptr;
    }
    cmd->u8Alfid = ODX__u8AlfidEraseMemory;
    cmd->u8BlockNo = ODX__u8GetBlockNumber(id);
    return cmd;
}

ODX_tstFlashcmdParam* ODX__pstBuildDriverCmd(const char* id) {
    return pstBuildDownload(id, false, "ODX: BuildDriverCmd: Out of memory to allocate %d Bytes");
}

ODX_tstFlashcmdParam* ODX__pstBuildDataCmd(const char* id) {
    return pstBuildDownload(id, true, "ODX: BuildDataCmd: Out of memory to allocate %d Bytes");
}

void ODX__vAddFlashCmd(ODX_tstFlashcmdParam* cmd) {
    auto* node = new (std::nothrow) ODX__tstCmdNode{cmd, nullptr};
    if (node == nullptr) {
        LOG_vError("ODX: AddFlashCmd: Out of memory to allocate %d Bytes", static_cast<int>(sizeof(ODX__tstCmdNode)));
        ODX__vFreeCmd(cmd);
        return;
    }
    if (ODX__pstCommandTail == nullptr) {
        ODX__pstCommandList = node;
    } else {
        ODX__pstCommandTail->next = node;
    }
    ODX__pstCommandTail = node;
}

void ODX__vFreeFlashCmdList() {
    ODX__tstCmdNode* node = ODX__pstCommandList;
    while (node != nullptr) {
        ODX__tstCmdNode* next = node->next;
        ODX__vFreeCmd(node->cmd);
        delete node;
        node = next;
    }
    ODX__pstCommandList = nullptr;
    ODX__pstCommandTail = nullptr;
    ODX__pstCurrentCmdInList = nullptr;
}

bool ODX__boBuildFlashCmd(const char* id) {
    ODX__Query q;
    q.boRun(ODX__pstOdxFile, "//ECU-MEMS/ECU-MEM/MEM/DATABLOCKS/DATABLOCK[@ID=\"%s\"]/@TYPE", id);
    if (q.pcSingleText() == nullptr) {
        LOG_vError("ODX: Cannot find >%s<", q.expr());
        return false;
    }
    const std::string type(q.pcSingleText());
    const char* t = type.c_str();

    const bool flashData = type == "FLASH_DATA" || type == "PROGRAMMING_ROUTINE";
    const bool driver = type == "DRIVER" || type == "ERASE_ROUTINE" || type == "ERASE_PROGRAMMING_ROUTINE" ||
                        type == "DOWNGRADE_PROTECTION_VERSIONS";
    const bool erase = type == "ERASE";
    const bool data = type == "DATA";
    if (!flashData && !driver && !erase && !data) {
        LOG_vError("ODX: Unknown Block \"%s\"", t);
        return false;
    }
    LOG_vDebug_1("ODX: Parsing %s Block: %s", t, id);

    if (erase) {
        ODX_tstFlashcmdParam* cmd = ODX__pstBuildEraseCmd(id);
        if (cmd == nullptr) {
            LOG_vError("ODX: Building ERASE Block");
            return false;
        }
        vLogAccepted("ERA", cmd, id);
        ODX__vAddFlashCmd(cmd);
        return true;
    }

    if (flashData) {
        ODX_tstFlashcmdParam* eraseCmd = ODX__pstBuildEraseCmd(id);
        if (eraseCmd == nullptr) {
            LOG_vError("ODX: Building ERASE for FLASH_DATA Block");
            return false;
        }
        vLogAccepted("FDE", eraseCmd, id);
        ODX__vAddFlashCmd(eraseCmd);
        ODX_tstFlashcmdParam* download = ODX__pstBuildDataCmd(id);
        if (download == nullptr) {
            LOG_vError("ODX: Building DATA Block");
            return true;
        }
        boAddDownloadAndCheck(download, "FDD", id);
        return true;
    }

    if (driver) {
        ODX_tstFlashcmdParam* download = ODX__pstBuildDriverCmd(id);
        if (download == nullptr) {
            LOG_vError("ODX: Building DRIVER Block");
            return false;
        }
        vLogAccepted("DRV", download, id);
        ODX__vAddFlashCmd(download);
        ODX_tstFlashcmdParam* sig = ODX__pstBuildSignature(id);
        if (sig == nullptr) return true;
        if (sig->enFlashCmd == ODX_CMD_ERROR) {
            ODX__vFreeCmd(sig);
            return true;
        }
        sig->u8BlockNo = ODX_NO_BLOCK;
        vLogAccepted("SIG", sig, id);
        ODX__vAddFlashCmd(sig);
        return true;
    }

    // DATA
    ODX_tstFlashcmdParam* download = ODX__pstBuildDataCmd(id);
    if (download == nullptr) {
        LOG_vError("ODX: Building DATA Block");
        return false;
    }
    return boAddDownloadAndCheck(download, "DTA", id);
}

bool ODX__boBuildOdxCommandList() {
    if (ODX__pstOdxFile == nullptr) {
        LOG_vError("ODX: Build Cmd Document is NULL");
        return false;
    }
    ODX__vFreeFlashCmdList();
    const int n = ODX__iCountDatablockRefs(nullptr);
    if (n == 0) return false;
    for (int k = 1; k <= n; ++k) {
        std::string id;
        if (!ODX__boGetDatablockRef(k, id)) {
            ODX__vFreeFlashCmdList();
            return false;
        }
        if (!ODX__boBuildFlashCmd(id.c_str())) {
            ODX__vFreeFlashCmdList();
            return false;
        }
    }

    ODX__Query q;
    q.boRun(ODX__pstOdxFile,
            "//ECU-MEMS/ECU-MEM/MEM/SESSIONS/SESSION[@ID=\"%s.%s\"]/SDGS/SDG/SD[@SI=\"Update-Execution\"]",
            ODX__acEcuMemRef, ODX__acSessionSnref);
    if (const char* text = q.pcText()) {
        if (std::strcmp(text, "Completely") == 0) {
            LOG_vInfo("ODX: Update-Execution: %s", text);
            ODX_tstFlashcmdParam* cmd = ODX__pstNewCmd(ODX_CMD_UPDATE_EXECUTION);
            if (cmd == nullptr) {
                LOG_vError("ODX: BuildOdxCmdList: Out of memory to allocate %d Bytes",
                           static_cast<int>(sizeof(ODX_tstFlashcmdParam)));
                ODX__vFreeFlashCmdList();
                return false;
            }
            ODX__vAddFlashCmd(cmd);
        } else {
            LOG_vError("ODX: Unknown Update-Execution: %s", text);
        }
    } else {
        LOG_vInfo("ODX: No Update Execution found");
    }
    ODX_tstFlashcmdParam* finish = ODX__pstNewCmd(ODX_CMD_FINISH);
    if (finish == nullptr) {
        LOG_vError("ODX: BuildOdxCmdList: Out of memory to allocate %d Bytes",
                   static_cast<int>(sizeof(ODX_tstFlashcmdParam)));
        ODX__vFreeFlashCmdList();
        return false;
    }
    ODX__vAddFlashCmd(finish);
    return true;
}

bool ODX_boPrepareOdxCommandList() {
    if (ODX__pstOdxFile == nullptr) {
        LOG_vError("ODX: No Open ODX");
        return false;
    }
    if (!ODX__boBuildSA2Key()) {
        LOG_vError("ODX: Can not build SA2Key");
        return false;
    }
    if (ODX__boBuildOdxCommandList()) {
        LOG_vInfo("ODX: Parse File successfull");
        return true;
    }
    ODX__vFreeFlashCmdList();
    LOG_vError("ODX: Build Command List failed");
    return false;
}

void ODX_vGetNextOdxCommand(ODX_tstFlashcmdParam* cmd) {
    if (ODX__pstCurrentCmdInList == nullptr) ODX__pstCurrentCmdInList = ODX__pstCommandList;
    if (ODX__pstCurrentCmdInList == nullptr) return;
    *cmd = *ODX__pstCurrentCmdInList->cmd;
    ODX__pstCurrentCmdInList = ODX__pstCurrentCmdInList->next;
}

namespace {

void vDumpBlockNumber(const char* prefix, uint8_t blockNo) {
    if (blockNo == ODX_NO_BLOCK) {
        LOG_vInfo("%sNo Block", prefix);
    } else {
        LOG_vInfo("%s%d", prefix, blockNo);
    }
}

void vDumpMemoryArea(const ODX_tstFlashcmdParam& c) {
    LOG_vInfo("ODX:   ALFID:          0x%02X (Memory size length:%d, Memory address length:%d)", c.u8Alfid,
              c.u8Alfid >> 4, c.u8Alfid & 0x0F);
    LOG_vInfo("ODX:   Memory address: 0x%08X", c.u32MemAddress);
    LOG_vInfo("ODX:   Memory Size:    0x%X (%d)", c.u32MemSize, static_cast<int>(c.u32MemSize));
}

}  // namespace

void ODX_vDumpCommandList() {
    LOG_vInfo("ODX: Command List:");
    for (int n = 1;; ++n) {
        ODX_tstFlashcmdParam c;
        c.enFlashCmd = ODX_CMD_ERROR;
        ODX_vGetNextOdxCommand(&c);
        switch (c.enFlashCmd) {
            case ODX_CMD_DOWNLOAD:
                LOG_vInfo("ODX: %d) DOWNLOAD", n);
                LOG_vInfo("ODX:   ALFID:             0x%02X (Memory size length:%d, Memory address length:%d)",
                          c.u8Alfid, c.u8Alfid >> 4, c.u8Alfid & 0x0F);
                LOG_vInfo("ODX:   Comp Enc Method:   0x%02X (Compression Method:0x%X, Encryption Method:0x%X)",
                          c.u8CompEncMethod, c.u8CompEncMethod >> 4, c.u8CompEncMethod & 0x0F);
                LOG_vInfo("ODX:   Memory address:    0x%08X", c.u32MemAddress);
                LOG_vInfo("ODX:   Memory Size:       0x%X (%d)", c.u32MemSize, static_cast<int>(c.u32MemSize));
                LOG_vInfo("ODX:   Memory Size (comp) 0x%X (%d)", c.u32MemSizeComp, static_cast<int>(c.u32MemSizeComp));
                if (c.boIsFile) LOG_vInfo("ODX:   Filename:          %s", reinterpret_cast<const char*>(c.pu8Data));
                vDumpBlockNumber("ODX:   Block Number:      ", c.u8BlockNo);
                break;
            case ODX_CMD_ERASE:
                LOG_vInfo("ODX: %d) ERASE", n);
                LOG_vInfo("ODX:   Routine:        0x%04X", 0xFF00);
                vDumpMemoryArea(c);
                vDumpBlockNumber("ODX:   Block Number:   ", c.u8BlockNo);
                break;
            case ODX_CMD_CHECK_MEMORY:
                LOG_vInfo("ODX: %d) CHECK MEMORY", n);
                LOG_vInfo("ODX:   Routine:        0x%04X", 0x0202);
                if (c.enVW80126Version != ODX_VW80126_2_OR_HIGHER) vDumpMemoryArea(c);
                LOG_vInfo("ODX:   Sig Length:     %d", c.u16SigLength);
                vDumpBlockNumber("ODX:   Block Number:   ", c.u8BlockNo);
                break;
            case ODX_CMD_UPDATE_EXECUTION:
                LOG_vInfo("ODX: %d)  UPDATE EXECUTION", n);
                break;
            case ODX_CMD_FINISH:
                LOG_vInfo("ODX: %d)  FINISH", n);
                return;
            default:
                LOG_vInfo("ODX: %d)  ERROR", n);
                return;
        }
    }
}

uint8_t* ODX_getInternFlashData(xmlNodePtr flashdata, uint32_t size) {
    xmlNodePtr dataNode = ODX_getXmlChild(flashdata, "DATA");
    if (dataNode == nullptr) {
        LOG_vError("ODX: getInternFlashData: No DATA node");
        return nullptr;
    }
    // The usual DATA element holds one text node: its text is used in place. Anything else
    // (several text pieces, CDATA sections, entities) is joined into a copy first.
    const xmlNodePtr only = dataNode->children;
    const bool single = only != nullptr && only == dataNode->last && only->type == XML_TEXT_NODE;
    xmlChar* copy = single ? nullptr : xmlNodeGetContent(dataNode);
    const xmlChar* content = single ? only->content : copy;
    if (content == nullptr) {
        LOG_vError("ODX: getInternFlashData: No content");
        return nullptr;
    }
    uint8_t* result = nullptr;
    const size_t chars = std::strlen(reinterpret_cast<const char*>(content));
    if (chars % 2 != 0) {
        LOG_vError("ODX: getInternFlashData: Uneven Size %d", static_cast<int>(chars));
    } else if (chars / 2 != size) {
        LOG_vError("ODX: getInternFlashData: Wanted %d is not read %d size", static_cast<int>(size),
                   static_cast<int>(chars / 2));
    } else {
        // malloc(0) may return nullptr: keep one byte so an empty block still has a buffer.
        result = static_cast<uint8_t*>(std::malloc(size > 0 ? size : 1));
        if (result == nullptr) {
            LOG_vError("ODX: getInternFlashData: Out of memory to allocate %d Bytes", static_cast<int>(size));
        } else if (CNV_u32HexStrToByteArray(reinterpret_cast<const char*>(content), result) < size) {
            LOG_vError("ODX: getInternFlashData: Datasize is not %d", static_cast<int>(size));
            std::free(result);
            result = nullptr;
        }
    }
    if (copy != nullptr) xmlFree(copy);
    return result;
}

bool ODX__GetBinaryPath(char* buffer, int size, const char* fileName) {
    const fs::path odxFile(ODX__acOdxFilePath);
    const fs::path grandParent = odxFile.parent_path().parent_path();
    if (grandParent != fs::path(PDX_GetRootPath())) {
        LOG_vError("ODX: No Match - current ODX is not in unpacked PDX");
        return false;
    }
    // The data file must lie inside the package directory.
    const fs::path name(fileName);
    bool climbs = name.empty() || name.is_absolute();
    for (const auto& part : name) {
        if (part == "..") climbs = true;
    }
    if (climbs) {
        LOG_vError("ODX: Data file name \"%s\" leaves the package directory", fileName);
        return false;
    }
    const std::string full = (odxFile.parent_path() / name).string();
    if (size <= 0 || full.size() >= static_cast<size_t>(size)) {
        LOG_vError("ODX: Path of data file %s too long", fileName);
        return false;
    }
    std::snprintf(buffer, static_cast<size_t>(size), "%s", full.c_str());
    return true;
}

char* ODX_getExternFlashFilename(xmlNodePtr flashdata) {
    xmlNodePtr fileNode = ODX_getXmlChild(flashdata, "DATAFILE");
    if (fileNode == nullptr) {
        LOG_vError("ODX: ODX_getExternFlashFilename: No DATAFILE node");
        return nullptr;
    }
    xmlChar* content = xmlNodeGetContent(fileNode);
    if (content == nullptr) {
        LOG_vError("ODX: ODX_getExternFlashFilename: No content");
        return nullptr;
    }
    char* result = nullptr;
    char path[ODX_PATH_SIZE];
    if (!ODX__GetBinaryPath(path, sizeof path, reinterpret_cast<const char*>(content))) {
        LOG_vError("ODX: ODX_getExternFlashFilename: Can't get binary data path for %s",
                   reinterpret_cast<const char*>(content));
    } else {
        LOG_vDebug_1("ODX: ODX_getExternFlashFilename: reading file %s", path);
        const size_t len = std::strlen(path) + 1;
        result = static_cast<char*>(std::malloc(len));
        if (result == nullptr) {
            LOG_vError("ODX: ODX_getExternFlashFilename: Out of memory to allocate %d Bytes", static_cast<int>(len));
        } else {
            std::memcpy(result, path, len);
        }
    }
    xmlFree(content);
    return result;
}

uint8_t* ODX__pau8GetData(const char* id, uint32_t size, bool* isFile) {
    const char* flashRef = ODX__pcGetFlashRef(id);
    if (flashRef == nullptr) return nullptr;
    ODX__Query q;
    q.boRun(ODX__pstOdxFile,
            "//ECU-MEMS/ECU-MEM/MEM/FLASHDATAS/FLASHDATA[@ID=\"%s\" and DATAFORMAT[@SELECTION=\"BINARY\"]]", flashRef);
    if (q.iCount() != 1) {
        LOG_vError("ODX: GetData: Node %s not found", q.expr());
        return nullptr;
    }
    xmlNodePtr node = q.pstFirstNode();
    xmlChar* type = xmlGetNoNsProp(node, reinterpret_cast<const xmlChar*>("type"));
    if (type == nullptr) {
        // The schema-instance type attribute: matched by its local name whatever its namespace.
        for (xmlAttrPtr a = node->properties; a != nullptr; a = a->next) {
            if (std::strcmp(reinterpret_cast<const char*>(a->name), "type") == 0) {
                type = xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(a));
                break;
            }
        }
    }
    const std::string typeText = type ? reinterpret_cast<const char*>(type) : "";
    if (type != nullptr) xmlFree(type);
    if (typeText == "INTERN-FLASHDATA") {
        LOG_vDebug_1("ODX: GetData: Node %s has INTERN-FLASHDATA type", flashRef);
        return ODX_getInternFlashData(node, size);
    }
    if (typeText == "EXTERN-FLASHDATA") {
        LOG_vDebug_1("ODX: GetData: Node %s has EXTERN-FLASHDATA type", flashRef);
        *isFile = true;
        return reinterpret_cast<uint8_t*>(ODX_getExternFlashFilename(node));
    }
    LOG_vError("ODX: GetData: Node %s has incorrect type", flashRef);
    return nullptr;
}
