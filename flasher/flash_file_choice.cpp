// Choosing the ODX-F file for the connected ECU and deciding, block by block, what to program.
#include <cstdio>
#include <cstring>
#include <string>

#include "flasher/cfg.h"
#include "flasher/flash_seq.h"
#include "logging/cnv.h"
#include "logging/log.h"
#include "odx/odx.h"

namespace {

// Results of the file choice.
constexpr int kProgram = 0;
constexpr int kSoftwareCurrent = 1;
constexpr int kFileProblem = 4;
constexpr int kNoDecision = 9;

std::string trimmedSparePartNumber() {
    char copy[sizeof FLASH__acVWSparePartNumber];
    std::memcpy(copy, FLASH__acVWSparePartNumber, sizeof copy);
    copy[sizeof copy - 1] = '\0';
    return CNV_pcTrimwhitespace(copy);
}

std::string patternWithoutKeyVariant(const std::string& spn) {
    return "FL_" + spn + "_.*[^(_E|_S)].(odx|odx-f)$";
}

std::string patternWithKeyVariant(const std::string& spn) {
    const char* variant = FLASH__enKeyType == 0 ? "_E" : FLASH__enKeyType == 1 ? "_S" : "";
    return "FL_" + spn + "_.*" + variant + ".(odx|odx-f)$";
}

// The ECU's value for an expected identification of the file; null for an unknown name,
// *readOk false when the value could not be read.
const char* ecuValueForExpectedIdent(const char* name, bool* known, bool* readOk) {
    *known = true;
    if (std::strcmp(name, "EI_VWSparePartNumbe") == 0) {
        *readOk = FLASH__boReadIdent_VWSparePartNumber();
        return FLASH__acVWSparePartNumber;
    }
    if (std::strcmp(name, "EI_VWAppliSoftwVersiNumbe") == 0) {
        *readOk = FLASH__boReadIdent_VWSoftwareVersionNumber();
        return FLASH__acVWSoftwareVersionNumber;
    }
    if (std::strcmp(name, "EI_VWECUHardwNumbe") == 0) {
        *readOk = FLASH__boReadIdent_VWECUHardwareNumber();
        return FLASH__acVWEcuHardwareNum;
    }
    if (std::strcmp(name, "EI_VWECUHardwVersiNumbe") == 0) {
        *readOk = FLASH__boReadIdent_VWECUHardwareVersionNumber();
        return FLASH__acVWEcuHardwareVersionNum;
    }
    *known = false;
    *readOk = false;
    return nullptr;
}

// 0 when every expected identification of the file matches the ECU, else 4 or 9.
int checkExpectedIdents() {
    static ODX__tstExpectedIdents idents;  // 10 KiB: kept off the stack
    std::memset(&idents, 0, sizeof idents);
    if (!ODX_boGetExpectedIdents(&idents)) return kNoDecision;
    const int count = idents.count < ODX_MAX_EXPECTED_IDENTS ? idents.count : ODX_MAX_EXPECTED_IDENTS;
    for (int i = 0; i < count; ++i) {
        const char* name = idents.names[i];
        bool known = false;
        bool readOk = false;
        const char* value = ecuValueForExpectedIdent(name, &known, &readOk);
        if (!known) {
            LOG_vError("FLASH: Unknown expect ident: %s", name);
            return kFileProblem;
        }
        if (!readOk) return kNoDecision;
        if (!ODX_boCheckExpectedIdent(name, value)) return kFileProblem;
    }
    return kProgram;
}

// Consistent ECU: software current (1); inconsistent: forces every block (0); unreadable: 9.
int decideByConsistency() {
    if (!FLASH__boReadIdent_ECUProgrammingInformation()) return kNoDecision;
    if (FLASH__boECUConsistent) {
        LOG_vInfo("FLASH: ECU Software is Consistent");
        return kSoftwareCurrent;
    }
    LOG_vInfo("FLASH: ECU Software is Inconsistent, forcing all blocks");
    FLASH__vForceAllBlocksFromODX();
    return kProgram;
}

// Marks the blocks whose ECU version differs or whose ECU state is invalid.
int decidePartial() {
    ODX__tsEcuVer& file = FLASH__sOdxBlockVersion;
    if (file.u8BlockCount == 0) {
        LOG_vError("FLASH: ODX File does not contain any Block Versions");
        return kNoDecision;
    }
    if (!FLASH__boReadIdent_BlockVersionsAndFingerprints()) return kNoDecision;
    if (file.u8BlockCount > FLASH__u8SwBlockNo) {
        LOG_vError("FLASH: ECU has less SoftwareBlocks than the ODX File %d %d", FLASH__u8SwBlockNo, file.u8BlockCount);
        return kNoDecision;
    }
    LOG_vInfo("FLASH: Partial Blocks to Programm:");
    bool any = false;
    for (int j = 0; j < FLASH__iFileBlockCount(); ++j) {
        int k = 0;
        const FLASH_tstSwBlock* ecu = FLASH__pstEcuBlockOfFileBlock(j, &k);
        if (ecu == nullptr) {
            // A position beyond the ECU's block table cannot be compared: program the block;
            // the check after programming then reports the mismatch.
            LOG_vWarning("FLASH: BytePos %d from ODX lies outside the ECU block table", file.ai32BytePos[j]);
            LOG_vInfo("FLASH: Flashing Block %02d ODX:%s Clust:%s State:%02X - Version Mismatch", k,
                      file.aacBlockVersion[j], "----", 0xFF);
            file.aboProgramBlock[j] = 1;
            any = true;
        } else if (ecu->u8ProgState != 0) {
            LOG_vInfo("FLASH: Flashing Block %02d ODX:%s Clust:%s State:%02X - Invalid", k, file.aacBlockVersion[j],
                      ecu->acBlockVersion, ecu->u8ProgState);
            file.aboProgramBlock[j] = 1;
            any = true;
        } else if (std::strncmp(ecu->acBlockVersion, file.aacBlockVersion[j], 4) != 0) {
            LOG_vInfo("FLASH: Flashing Block %02d ODX:%s Clust:%s State:%02X - Version Mismatch", k,
                      file.aacBlockVersion[j], ecu->acBlockVersion, ecu->u8ProgState);
            file.aboProgramBlock[j] = 1;
            any = true;
        } else {
            LOG_vInfo("FLASH: Skipping Block %02d ODX:%s Clust:%s State:%02X - No Update", k, file.aacBlockVersion[j],
                      ecu->acBlockVersion, ecu->u8ProgState);
            file.aboProgramBlock[j] = 0;
        }
    }
    if (any) return kProgram;
    return decideByConsistency();
}

}  // namespace

void FLASH__vForceAllBlocksFromODX() {
    ODX__tsEcuVer& file = FLASH__sOdxBlockVersion;
    if (file.u8BlockCount == 0) return;
    LOG_vInfo("FLASH: Forced Blocks to Programm:");
    for (int j = 0; j < FLASH__iFileBlockCount(); ++j) {
        LOG_vInfo("FLASH: Flashing Block %02d ODX:%s - Forced", j, file.aacBlockVersion[j]);
        file.aboProgramBlock[j] = 1;
    }
}

int FLASH__enOpenODXFile(const std::string& odxFileName, const std::string& root) {
    ODX_UnpackAllPDX(root);

    if (!odxFileName.empty()) {
        // A file named on the command line is taken as it is: its expected
        // identifications are not examined.
        if (!ODX_boOpenOdxFile_ByPattern(root, "^" + odxFileName + "$", FLASH__sOdxBlockVersion)) return kFileProblem;
    } else {
        if (!FLASH__boReadIdent_VWSparePartNumber()) return kNoDecision;
        const std::string spn = trimmedSparePartNumber();
        if (!ODX_boOpenOdxFile_ByPattern(root, patternWithoutKeyVariant(spn), FLASH__sOdxBlockVersion)) {
            if (!FLASH__boReadIdent_FDSProjectData()) return kNoDecision;
            if (!ODX_boOpenOdxFile_ByPattern(root, patternWithKeyVariant(spn), FLASH__sOdxBlockVersion)) {
                return kFileProblem;
            }
        }
        if (!CFG_boForceUpdate()) {
            const int check = checkExpectedIdents();
            if (check != kProgram) return check;
        }
    }

    if (CFG_boForceUpdate()) {
        FLASH__vForceAllBlocksFromODX();
        return kProgram;
    }

    if (!FLASH__boReadIdent_VWSoftwareVersionNumber()) return kNoDecision;
    const char* ecuVersion = FLASH__acVWSoftwareVersionNumber;
    const char* fileVersion = FLASH__sOdxBlockVersion.acEcuVersion;
    if (std::strcmp(ecuVersion, fileVersion) != 0) {
        LOG_vInfo("FLASH: Software Version is not Identical ECU:%s ODX:%s", ecuVersion, fileVersion);
    } else {
        LOG_vInfo("FLASH: Software Version is Identical ECU:%s ODX:%s", ecuVersion, fileVersion);
        if (!FLASH__boReadIdent_ECUProgrammingInformation()) return kNoDecision;
        if (FLASH__boECUConsistent) {
            LOG_vInfo("FLASH: ECU Software is Consistent");
            return kSoftwareCurrent;
        }
        LOG_vInfo("FLASH: ECU Software is Inconsistent");
    }

    if (CFG_boPartialFlashDisabled()) {
        FLASH__vForceAllBlocksFromODX();
        return kProgram;
    }
    return decidePartial();
}
