// Opening an ODX-F file: block versions (with the byte positions from the diagnostic layer
// files) and the software version in the file name.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>

#include "flasher/cfg.h"
#include "logging/log.h"
#include "odx/odx_internal.h"
#include "odx/ofman.h"

namespace {

// Byte position from one layer file, or -1.
int iBytePosFromLayer(const char* layerFile, const char* diagService, const char* outParam) {
    xmlDocPtr layer = ODX__pstOpenODXDocument(layerFile);
    if (layer == nullptr) {
        LOG_vError("ODX: Cannot open %s", layerFile);
        return -1;
    }
    int result = -1;
    ODX__Query q;
    q.boRun(layer,
            "//DIAG-LAYER-CONTAINER/ECU-VARIANTS/ECU-VARIANT/DIAG-COMMS/DIAG-SERVICE[@ID=\"%s\"]/POS-RESPONSE-REFS/"
            "POS-RESPONSE-REF/@ID-REF",
            diagService);
    const char* posResp = q.pcSingleText();
    if (posResp == nullptr) {
        LOG_vError("ODX: >%s< not found", q.expr());
        posResp = "";
    }
    LOG_vDebug_1("ODX: POS RESP: %s", posResp);
    const std::string posRespRef(posResp);
    q.boRun(layer,
            "//DIAG-LAYER-CONTAINER/ECU-VARIANTS/ECU-VARIANT/POS-RESPONSES/POS-RESPONSE/SHORT-NAME[text()=\"%s\"]/../"
            "PARAMS/PARAM/SHORT-NAME[text()=\"%s\"]/../BYTE-POSITION",
            posRespRef.c_str(), outParam);
    if (const char* text = q.pcSingleText()) {
        LOG_vInfo("ODX: Datablock:%s Byte Pos from Layer:%s", outParam, text);
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(text, &end, 10);
        if (end == text || *end != '\0' || errno == ERANGE || value < 0 || value > INT_MAX) {
            LOG_vError("ODX: BYTE-POSITION >%s< is not a decimal number", text);
        } else {
            result = static_cast<int>(value);
        }
    } else {
        LOG_vError("ODX: >%s< not found", q.expr());
    }
    xmlFreeDoc(layer);
    return result;
}

}  // namespace

int ODX__iFindLayerRefs(const char* identName) {
    if (ODX__pstOdxFile == nullptr) {
        LOG_vError("ODX: Find Layer Refs Document is NULL");
        return -1;
    }
    ODX__Query q;
    q.boRun(ODX__pstOdxFile,
            "//ECU-MEM-CONNECTORS/ECU-MEM-CONNECTOR/IDENT-DESCS/IDENT-DESC/IDENT-IF-SNREF[@SHORT-NAME=\"%s\"]/../"
            "OUT-PARAM-IF-SNREF/@SHORT-NAME",
            identName);
    const char* outParamText = q.pcSingleText();
    if (outParamText == nullptr) {
        LOG_vError("ODX: Shortname %s has no OUT-PARAM-IF-SNREF", identName);
        return -1;
    }
    const std::string outParam(outParamText);
    LOG_vInfo("ODX: OUT-PARAM-IF-SNREF:%s", outParam.c_str());

    q.boRun(ODX__pstOdxFile,
            "//ECU-MEM-CONNECTORS/ECU-MEM-CONNECTOR/IDENT-DESCS/IDENT-DESC/IDENT-IF-SNREF[@SHORT-NAME=\"%s\"]/../"
            "DIAG-COMM-SNREF/@SHORT-NAME",
            identName);
    const char* diagText = q.pcSingleText();
    if (diagText == nullptr) {
        LOG_vError("ODX: Shortname %s has no DIAG-COMM-SNREF", identName);
        return -1;
    }
    const std::string diagService(diagText);
    LOG_vInfo("ODX: DIAG-COMM-SNREF:%s", diagService.c_str());

    q.boRun(ODX__pstOdxFile, "//ECU-MEM-CONNECTORS/ECU-MEM-CONNECTOR/LAYER-REFS/*");
    if (!q.boHasResult()) {
        LOG_vError("ODX: >%s< not found", q.expr());
        return -1;
    }
    const int layers = q.iCount();
    int result = -1;
    for (int j = 1; j <= layers; ++j) {
        ODX__Query lq;
        lq.boRun(ODX__pstOdxFile, "//ECU-MEM-CONNECTORS/ECU-MEM-CONNECTOR/LAYER-REFS/LAYER-REF[%d]/@DOCREF", j);
        if (lq.pcSingleText() == nullptr) {
            LOG_vError("ODX: Layer %d has no DOCREF", j - 1);
            continue;
        }
        const std::string docRef(lq.pcSingleText());
        lq.boRun(ODX__pstOdxFile, "//ECU-MEM-CONNECTORS/ECU-MEM-CONNECTOR/LAYER-REFS/LAYER-REF[%d]/@ID-REF", j);
        if (lq.pcSingleText() == nullptr) {
            LOG_vError("ODX: Layer %d has no ID-REF", j - 1);
            continue;
        }
        LOG_vInfo("ODX: Layer:%d DOCREF:%s ID-REF:%s", j - 1, docRef.c_str(), lq.pcSingleText());

        OFMAN_vInit();
        const uint16_t found = OFMAN_u16FindFiles(CFG_strGetDatflashPath(), "^" + docRef + ".*.odx$");
        const std::string layerFile = found == 1 ? OFMAN_strGetODXFilePath(0) : std::string();
        OFMAN_vDeinit();
        if (found == 0) {
            LOG_vError("ODX: Did not find any files");
            continue;
        }
        if (found > 1) {
            LOG_vError("ODX: Found more than one file");
            continue;
        }
        const int pos = iBytePosFromLayer(layerFile.c_str(), diagService.c_str(), outParam.c_str());
        if (pos >= 0) result = pos;
    }
    return result;
}

int ODX__iCountDatablockRefs(const char* notFound) {
    ODX__Query q;
    q.boRun(ODX__pstOdxFile, "//ECU-MEMS/ECU-MEM/MEM/SESSIONS/SESSION[@ID=\"%s.%s\"]/DATABLOCK-REFS/*",
            ODX__acEcuMemRef, ODX__acSessionSnref);
    if (q.iCount() == 0 && notFound != nullptr) LOG_vError(notFound, q.expr());
    return q.iCount();
}

bool ODX__boGetDatablockRef(int k, std::string& id) {
    ODX__Query q;
    q.boRun(ODX__pstOdxFile,
            "//ECU-MEMS/ECU-MEM/MEM/SESSIONS/SESSION[@ID=\"%s.%s\"]/DATABLOCK-REFS/DATABLOCK-REF[%d]/@ID-REF",
            ODX__acEcuMemRef, ODX__acSessionSnref, k);
    if (q.pcSingleText() == nullptr) {
        LOG_vError("ODX: Datablock %d has no ID-REF", k - 1);
        return false;
    }
    id = q.pcSingleText();
    return true;
}

bool ODX__boReadBlockVersions(ODX__tsEcuVer& record) {
    record.u8BlockCount = 0;
    const int n = ODX__iCountDatablockRefs("ODX: No Datablock Refs found %s");
    if (n == 0) return false;
    ODX__Query q;
    int i = 0;
    for (int k = 1; k <= n; ++k) {
        std::string id;
        if (!ODX__boGetDatablockRef(k, id)) return false;

        if (ODX__enEcuMemSpecVersion == ODX_MEMSPEC_2_0_0) {
            q.boRun(ODX__pstOdxFile, "//ECU-MEMS/ECU-MEM/MEM/DATABLOCKS/DATABLOCK[@ID=\"%s\"]/@TYPE", id.c_str());
            const char* type = q.pcText();
            if (type == nullptr || std::strcmp(type, "DATA") != 0) {
                LOG_vDebug_1("ODX: Datablock ID-REF: %s is of type: %s", id.c_str(), type ? type : "");
                continue;
            }
        }

        q.boRun(ODX__pstOdxFile,
                "//ECU-MEMS/ECU-MEM/MEM/DATABLOCKS/DATABLOCK[@ID=\"%s\"]/OWN-IDENTS/OWN-IDENT/SHORT-NAME[starts-with(.,"
                "\"OI_VWLogicSoftwBlockVersi\")]/../IDENT-VALUE[@TYPE=\"A_ASCIISTRING\"]",
                id.c_str());
        if (!q.boHasResult()) {
            LOG_vDebug_1("ODX: Datablock ID-REF: %s has no IDENT-VALUE for OI_VWLogicSoftwBlockVersi", id.c_str());
            continue;
        }
        if (q.iCount() == 0) {
            LOG_vDebug_1("ODX: Datablock ID-REF: %s has less than 1 IDENT-VALUE for OI_VWLogicSoftwBlockVersi",
                         id.c_str());
            continue;
        }
        if (q.iCount() > 1) {
            LOG_vError("ODX: Datablock ID-REF: %s has more than 1 IDENT-VALUE for OI_VWLogicSoftwBlockVersi",
                       id.c_str());
            return false;
        }
        if (i >= ODX_MAX_BLOCKS) {
            LOG_vError("ODX: More than %d blocks with a block version, Datablock ID-REF: %s", ODX_MAX_BLOCKS,
                       id.c_str());
            return false;
        }
        const char* version = q.pcText() ? q.pcText() : "";
        if (!ODX__boCopyText(record.aacBlockVersion[i], sizeof record.aacBlockVersion[i], version, "Block version")) {
            return false;
        }

        q.boRun(ODX__pstOdxFile,
                "//ECU-MEMS/ECU-MEM/MEM/DATABLOCKS/DATABLOCK[@ID=\"%s\"]/OWN-IDENTS/OWN-IDENT/SHORT-NAME[starts-with(.,"
                "\"OI_VWLogicSoftwBlockVersi\")]",
                id.c_str());
        if (q.iCount() != 1) {
            LOG_vError("ODX: Datablock ID-REF: %s has no SHORT-NAME for OI_VWLogicSoftwBlockVersi", id.c_str());
            return false;
        }
        LOG_vDebug_1("ODX: Datablock ID-REF: %s has IDENT-VALUE", id.c_str());
        const char* identName = q.pcText() ? q.pcText() : "";
        if (!ODX__boCopyText(record.aacBlockIdentName[i], sizeof record.aacBlockIdentName[i], identName,
                             "Block identification name")) {
            return false;
        }

        int pos = ODX__iFindLayerRefs(record.aacBlockIdentName[i]);
        if (pos == -1) {
            pos = i * 4 + 3;
            LOG_vWarning("ODX: Unable to find Byte Pos for Block %02d, assuming Byte Pos %d", i, pos);
        }
        record.ai32BytePos[i] = pos;
        LOG_vInfo("ODX: Block %02d Version %s BytePos:%02d (%s)", i, record.aacBlockVersion[i], pos,
                  record.aacBlockIdentName[i]);
        ++i;
        record.u8BlockCount = static_cast<uint8_t>(i);
    }
    record.u8BlockCount = static_cast<uint8_t>(i);
    return true;
}

bool ODX__boFindVersion(const char* path, char* version) {
    const std::string name = std::filesystem::path(path).filename().string();
    static const std::regex fl("FL_([0-9A-Za-z]*)_+([0-9A-Za-z]*).*\\..*", std::regex::extended);
    static const std::regex db(
        "DB_([0-9A-Za-z]*)_([0-9A-Za-z]*)_([0-9A-Za-z]*)_([0-9A-Za-z]*)_([0-9A-Za-z]*).*\\..*",
        std::regex::extended);
    std::smatch m;
    if (std::regex_match(name, m, fl)) {
        const std::string v = m[2].str();
        LOG_vDebug_1("ODX: Found Version: '%s' in Filename", v.c_str());
        if (v.size() != 4) {
            LOG_vError("ODX: Incorrect Size %d of Version in FL Filename", static_cast<int>(v.size()));
            return false;
        }
        std::memcpy(version, v.c_str(), 5);
        return true;
    }
    if (std::regex_match(name, m, db)) {
        LOG_vInfo("ODX: DB EcuID  : %s", m[1].str().c_str());
        LOG_vInfo("ODX: DB Address: %s", m[2].str().c_str());
        LOG_vInfo("ODX: DB Product: %s", m[3].str().c_str());
        LOG_vInfo("ODX: DB Version: %s", m[4].str().c_str());
        LOG_vInfo("ODX: DB Name   : %s", m[5].str().c_str());
        version[0] = '\0';
        return true;
    }
    LOG_vError("ODX: Could not Read Version from Filename \"%s\"", path);
    return false;
}

bool ODX_boOpenOdxFile(const std::string& path, ODX__tsEcuVer& ecuVersion) {
    // A document still open from an earlier attempt is replaced.
    if (ODX__pstOdxFile != nullptr) xmlFreeDoc(ODX__pstOdxFile);
    ODX__psBlockVersion = nullptr;
    ODX__acOdxFilePath[0] = '\0';
    ODX__boFileIsODXF = false;
    // The VW 80126 version belongs to the document: a file without one must not inherit the
    // version of a file opened before it.
    ODX__enVW80126Version = ODX_VW80126_BELOW_2;

    ODX__pstOdxFile = ODX__pstOpenODXDocument(path.c_str());
    if (ODX__pstOdxFile == nullptr) {
        LOG_vError("ODX: Cannot open ODX File \"%s\"", path.c_str());
        return false;
    }
    if (path.size() >= ODX_PATH_SIZE) {
        LOG_vError("ODX: Path of ODX File too long (%d characters)", static_cast<int>(path.size()));
        return false;
    }
    LOG_vDebug_1("ODX: Reading REFs from %s", path.c_str());
    if (!ODX__boReadSessionAndMemRef()) return false;
    ODX__vInitAlfid();
    ODX__vInitMemSpecVersion();
    LOG_vDebug_1("ODX: Reading Block Versions from %s", path.c_str());
    if (!ODX__boReadBlockVersions(ecuVersion)) {
        ODX__psBlockVersion = nullptr;
        return false;
    }
    ODX__psBlockVersion = &ecuVersion;
    if (!ODX__boFindVersion(path.c_str(), ecuVersion.acEcuVersion)) {
        ODX__acOdxFilePath[0] = '\0';
        return false;
    }
    LOG_vInfo("ODX: ECU-Version from ODX-Filename: %s", ecuVersion.acEcuVersion);
    ODX__boFileIsODXF = ODX__boFindODXF_inFilename(path.c_str());
    std::memcpy(ODX__acOdxFilePath, path.c_str(), path.size() + 1);
    return true;
}

bool ODX_boOpenOdxFile_ByPattern(const std::string& directory, const std::string& pattern, ODX__tsEcuVer& ecuVersion) {
    OFMAN_vInit();
    const uint16_t found = OFMAN_u16FindFiles(directory, pattern);
    bool ok = false;
    if (found == 0) {
        LOG_vError("ODX: Did not find any files");
    } else if (found == 1) {
        const std::string path = OFMAN_strGetODXFilePath(0);
        ok = ODX_boOpenOdxFile(path, ecuVersion);
        if (ok) LOG_vInfo("ODX: Found \"%s\"", ODX__acOdxFilePath);
    } else {
        LOG_vError("ODX: Found more than one file");
    }
    OFMAN_vDeinit();
    return ok;
}
