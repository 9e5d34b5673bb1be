// One flash command as the ODX-F reader hands it to the flash procedure and the
// transfer routines: erase, download, check memory, update execution, finish.
#pragma once

#include <cstdint>

// Kind of a flash command (32-bit).
enum ODX_tenFlashCmd : int32_t {
    ODX_CMD_DOWNLOAD = 0,          // RequestDownload, TransferData, RequestTransferExit of one block
    ODX_CMD_ERASE = 1,             // erase a memory area (erase routine)
    ODX_CMD_CHECK_MEMORY = 2,      // check the downloaded data against a signature/checksum
    ODX_CMD_UPDATE_EXECUTION = 3,  // update-execution step, once after all blocks
    ODX_CMD_FINISH = 4,            // end of the list: programming finished
    ODX_CMD_ERROR = 5,             // no valid command (also the kind of an empty read)
};

// VW 80126 version of the document (32-bit).
enum ODX_tenVW80126Version : int32_t {
    ODX_VW80126_BELOW_2 = 0,  // below 2 or not determined
    ODX_VW80126_2_OR_HIGHER = 1,  // 2.0.0 or higher: check memory carries only the signature
};

// One command. A new record has every number 0, no data, ALFID 0 and block number 0;
// the builders set what their command needs.
struct ODX_tstFlashcmdParam {
    ODX_tenFlashCmd enFlashCmd = ODX_CMD_ERROR;
    // Data format byte: compression method in the high nibble, encryption in the low nibble.
    uint8_t u8CompEncMethod = 0;
    uint32_t u32MemAddress = 0;
    // Uncompressed size of the memory area in bytes.
    uint32_t u32MemSize = 0;
    // Compressed size in bytes; 0 if not compressed or not given.
    uint32_t u32MemSizeComp = 0;
    // Number of signature bytes in pu8Data (check-memory commands).
    uint16_t u16SigLength = 0;
    // pu8Data holds the NUL-terminated path of a data file instead of the data.
    bool boIsFile = false;
    // Owned by the command list (malloc'ed, freed with the list). Download: the data bytes
    // (transfer size) or the file path; check memory: the signature bytes; else nullptr.
    uint8_t* pu8Data = nullptr;
    // addressAndLengthFormatIdentifier: size-field length high nibble, address low nibble.
    uint8_t u8Alfid = 0;
    // Logical software block index, 255 for no block.
    uint8_t u8BlockNo = 0;
    ODX_tenVW80126Version enVW80126Version = ODX_VW80126_BELOW_2;
};

// Transfer size of a download: the compressed size when it is given, else the uncompressed one.
inline uint32_t ODX_u32TransferSize(const ODX_tstFlashcmdParam& cmd) {
    return cmd.u32MemSizeComp != 0 ? cmd.u32MemSizeComp : cmd.u32MemSize;
}
