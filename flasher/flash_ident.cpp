// Reading the ECU's identifications by ReadDataByIdentifier into the sequencer's store.
// Single values are cached until FLASH__vInvalidate_Idents; the block table is read afresh
// on every call of its reader; the key type is read once per process.
#include <cstring>

#include "flasher/flash_seq.h"
#include "logging/log.h"
#include "uds/uds.h"

char FLASH__acVWSparePartNumber[12];
bool FLASH__boVWSparePartNumberValid;
char FLASH__acVWSoftwareVersionNumber[5];
bool FLASH__boVWSoftwareVersionNumberValid;
char FLASH__acVWEcuHardwareNum[12];
bool FLASH__boVWEcuHardwareNumValid;
char FLASH__acVWEcuHardwareVersionNum[4];
bool FLASH__boVWEcuHardwareVersionNumValid;
bool FLASH__boECUConsistent;
bool FLASH__boECUConsistentValid;
uint8_t FLASH__u8SwBlockNo;
FLASH_tstSwBlock FLASH__astSwBlock[FLASH_MAX_SW_BLOCKS];

namespace {

// Every read uses a buffer of this size; one byte stays free for the terminator of a text
// record, so the capacity handed to the service is one less (longer answers are refused).
constexpr uint16_t kReadBufferSize = 4096;

struct ReadBuffer {
    uint8_t data[kReadBufferSize] = {};
    uint16_t length = 0;
};

bool readDid(UDS_tenReadDataByIDIdent did, ReadBuffer& buf) {
    buf.length = kReadBufferSize - 1;
    const UDS_tenResult res = UDS_enReadDataByIdentifier(did, buf.data, &buf.length);
    if (res != UDS_RES_OK) {
        buf.length = 0;
        return false;
    }
    return true;
}

struct TextIdent {
    UDS_tenReadDataByIDIdent did;
    size_t maxLength;
    char* text;
    bool* valid;
    const char* readError;
    const char* sizeError;
    const char* success;
};

bool readTextIdent(const TextIdent& ident) {
    if (*ident.valid) return true;
    ident.text[0] = '\0';
    ReadBuffer buf;
    if (!readDid(ident.did, buf)) {
        LOG_vError("%s", ident.readError);
        return false;
    }
    buf.data[buf.length] = 0;
    const size_t length = std::strlen(reinterpret_cast<const char*>(buf.data));
    if (length > ident.maxLength) {
        LOG_vError(ident.sizeError, static_cast<int>(length));
        return false;
    }
    std::memcpy(ident.text, buf.data, length + 1);
    LOG_vInfo(ident.success, static_cast<unsigned>(ident.did), ident.text);
    *ident.valid = true;
    return true;
}

}  // namespace

bool FLASH__boReadIdent_VWSparePartNumber() {
    return readTextIdent({UDS_RDBI_VW_SPARE_PART_NUMBER, 11, FLASH__acVWSparePartNumber,
                          &FLASH__boVWSparePartNumberValid, "FLASH: Error Reading VW Spare Part Number",
                          "FLASH: Invalid Size of VW Spare Part Number %d",
                          "FLASH: 0x%04X VW Spare Part Number: \"%s\""});
}

bool FLASH__boReadIdent_VWSoftwareVersionNumber() {
    return readTextIdent({UDS_RDBI_VW_APPL_SW_VERSION, 4, FLASH__acVWSoftwareVersionNumber,
                          &FLASH__boVWSoftwareVersionNumberValid,
                          "FLASH: Error Reading VW Application Software Version Number",
                          "FLASH: Invalid Size of VW Application Software Version Number %d",
                          "FLASH: 0x%04X VW Software Version Number: \"%s\""});
}

bool FLASH__boReadIdent_VWECUHardwareNumber() {
    return readTextIdent({UDS_RDBI_VW_ECU_HW_NUMBER, 11, FLASH__acVWEcuHardwareNum,
                          &FLASH__boVWEcuHardwareNumValid, "FLASH: Error Reading VW ECU Hardware Number",
                          "FLASH: Invalid Size of VW ECU Hardware Number %d",
                          "FLASH: 0x%04X VW ECU Hardware Number: \"%s\""});
}

bool FLASH__boReadIdent_VWECUHardwareVersionNumber() {
    return readTextIdent({UDS_RDBI_VW_ECU_HW_VERSION, 3, FLASH__acVWEcuHardwareVersionNum,
                          &FLASH__boVWEcuHardwareVersionNumValid, "FLASH: Error ECU Hardware Version Number",
                          "FLASH: Invalid Size of VW ECU Hardware Version Number %d",
                          "FLASH: 0x%04X VW ECU Hardware Version Number: \"%s\""});
}

bool FLASH__boReadIdent_FDSProjectData() {
    if (FLASH__enKeyType != 2) return true;
    ReadBuffer buf;
    // The record has six bytes (flags, 4-byte identifier, hash length); a shorter one
    // cannot tell the key type and counts as a failed read.
    if (!readDid(UDS_RDBI_FDS_PROJECT_DATA, buf) || buf.length < 6) {
        LOG_vInfo("FLASH: 0x%04X FDS Project Data: ERROR", 0xF1D5);
        return false;
    }
    const uint8_t* d = buf.data;
    const bool series = (d[0] & 0x01) != 0;
    FLASH__enKeyType = series ? 1 : 0;
    LOG_vInfo("FLASH: 0x%04X FDS Project Data: 0x%02X ID:0x%02X%02X%02X%02X Hash-Len: %d, Key: %s ", 0xF1D5, d[0], d[1],
              d[2], d[3], d[4], d[5], series ? "Series" : "Development");
    return true;
}

bool FLASH__boReadIdent_ECUProgrammingInformation() {
    if (FLASH__boECUConsistentValid) return true;
    FLASH__boECUConsistent = false;
    ReadBuffer buf;
    if (!readDid(UDS_RDBI_ECU_PROGRAMMING_INFO, buf) || buf.length < 1) {
        LOG_vInfo("FLASH: 0x%04X FDS Prog. Info: ERROR", 0xF1DF);
        return false;
    }
    const uint8_t info = buf.data[0];
    FLASH__boECUConsistent = (info & 0x04) == 0;
    const bool programmable = (info & 0x40) != 0;
    LOG_vInfo("FLASH: 0x%04X ECU Prog. Info: 0x%02X Consistent:%s, Programmable:%s ", 0xF1DF, info,
              FLASH__boECUConsistent ? "Yes" : "No", programmable ? "Yes" : "No");
    FLASH__boECUConsistentValid = true;
    return true;
}

bool FLASH__boReadIdent_BlockVersionsAndFingerprints() {
    FLASH__u8SwBlockNo = 0;
    ReadBuffer buf;
    LOG_vInfo("FLASH: 0x%04X Reading VW Logical Software Block Versions", 0xF1AB);
    if (!readDid(UDS_RDBI_VW_LOGICAL_SW_BLOCK_VERSION, buf)) {
        LOG_vError("FLASH: 0x%04X VW Logical Software Block Version: ERROR", 0xF1AB);
        return false;
    }
    if (buf.length % 4 != 0) {
        LOG_vError("FLASH: Received Invalid Software Block Size %d", buf.length);
        return false;
    }
    if (buf.length >= 4 * (FLASH_MAX_SW_BLOCKS + 1)) {
        LOG_vError("FLASH: Received too much Blocks: %d", buf.length / 4);
        return false;
    }
    FLASH__u8SwBlockNo = static_cast<uint8_t>(buf.length / 4);
    for (auto& block : FLASH__astSwBlock) {
        std::memcpy(block.acBlockVersion, "----", 5);
        block.u8ProgState = 1;
    }
    for (int i = 0; i < FLASH__u8SwBlockNo; ++i) {
        std::memcpy(FLASH__astSwBlock[i].acBlockVersion, buf.data + 4 * i, 4);
        FLASH__astSwBlock[i].acBlockVersion[4] = '\0';
    }

    LOG_vInfo("FLASH: 0x%04X Reading VW Block Fingerprints", 0xF15B);
    if (!readDid(UDS_RDBI_VW_BLOCK_FINGERPRINTS, buf)) {
        LOG_vError("FLASH: 0x%04X VW Block Fingerprints: ERROR", 0xF15B);
        return false;
    }
    if (buf.length % 10 != 0) {
        LOG_vError("FLASH: Received Fingerprint Size %d", buf.length);
        return false;
    }
    if (buf.length / 10 != FLASH__u8SwBlockNo) {
        LOG_vError("FLASH: IDs for BlockVersion (%d) and Fingerprints (%d) do not match", FLASH__u8SwBlockNo,
                   buf.length / 10);
        return false;
    }
    LOG_vInfo("FLASH: Block Versions and Fingerprints from ECU:");
    for (int i = 0; i < FLASH__u8SwBlockNo; ++i) {
        const uint8_t* fp = buf.data + 10 * i;
        char tester[7];
        std::memcpy(tester, fp + 3, 6);
        tester[6] = '\0';
        FLASH__astSwBlock[i].u8ProgState = fp[9];
        LOG_vInfo("FLASH:    Block:%02d  Version:\"%s\"  Date:%02X.%02X.%02X  Tester:\"%s\"  State: 0x%02X %s", i,
                  FLASH__astSwBlock[i].acBlockVersion, fp[2], fp[1], fp[0], tester, fp[9],
                  fp[9] == 0 ? "VALID" : "INVALID");
    }
    return true;
}

bool FLASH__boReadIdentifications() {
    if (!FLASH__boVWSparePartNumberValid) FLASH__boReadIdent_VWSparePartNumber();
    if (!FLASH__boVWSoftwareVersionNumberValid) FLASH__boReadIdent_VWSoftwareVersionNumber();
    FLASH__boReadIdent_FDSProjectData();
    FLASH__boReadIdent_ECUProgrammingInformation();
    FLASH__boReadIdent_BlockVersionsAndFingerprints();
    return true;
}

void FLASH__vInvalidate_Idents() {
    FLASH__boVWSparePartNumberValid = false;
    FLASH__boVWSoftwareVersionNumberValid = false;
    FLASH__boVWEcuHardwareNumValid = false;
    FLASH__boVWEcuHardwareVersionNumValid = false;
    FLASH__boECUConsistentValid = false;
}

void FLASH__vResetIdents() {
    FLASH__vInvalidate_Idents();
    FLASH__acVWSparePartNumber[0] = '\0';
    FLASH__acVWSoftwareVersionNumber[0] = '\0';
    FLASH__acVWEcuHardwareNum[0] = '\0';
    FLASH__acVWEcuHardwareVersionNum[0] = '\0';
    FLASH__boECUConsistent = false;
    FLASH__enKeyType = 2;
    FLASH__u8SwBlockNo = 0;
    std::memset(FLASH__astSwBlock, 0, sizeof FLASH__astSwBlock);
}

const FLASH_tstSwBlock* FLASH__pstEcuBlockByBytePos(int32_t bytePos, int* blockIndex) {
    // The position counts the 3 header bytes of the answer; truncation toward zero maps
    // positions 0 to 2 to block 0.
    const int64_t k = (static_cast<int64_t>(bytePos) - 3) / 4;
    *blockIndex = static_cast<int>(k);
    if (k < 0 || k >= FLASH_MAX_SW_BLOCKS) return nullptr;
    return &FLASH__astSwBlock[k];
}

const FLASH_tstSwBlock* FLASH__pstEcuBlockOfFileBlock(int fileBlock, int* blockIndex) {
    const int32_t pos = FLASH__sOdxBlockVersion.ai32BytePos[fileBlock];
    const FLASH_tstSwBlock* block = FLASH__pstEcuBlockByBytePos(pos, blockIndex);
    LOG_vDebug_2("FLASH: BytePos %d from ODX matches Block %d from ECU", pos, *blockIndex);
    return block;
}

int FLASH__iFileBlockCount() {
    const int count = FLASH__sOdxBlockVersion.u8BlockCount;
    return count < ODX_MAX_BLOCKS ? count : ODX_MAX_BLOCKS;
}
