// Session-level facts of the open ODX-F document: memory and session references, ALFIDs,
// specification versions, expected identifications and the SA2 data.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "logging/cnv.h"
#include "logging/log.h"
#include "odx/odx_internal.h"

bool ODX__boReadSessionAndMemRef() {
    ODX__acEcuMemRef[0] = '\0';
    ODX__acSessionSnref[0] = '\0';
    ODX__Query q;
    q.boRun(ODX__pstOdxFile, "//ECU-MEM-CONNECTORS/ECU-MEM-CONNECTOR/ECU-MEM-REF/@ID-REF");
    const char* memRef = q.pcSingleText();
    if (memRef == nullptr) {
        LOG_vError("ODX: ECU-MEM-REF not found %s", q.expr());
        return false;
    }
    if (!ODX__boCopyText(ODX__acEcuMemRef, sizeof ODX__acEcuMemRef, memRef, "ECU-MEM-REF")) return false;

    q.boRun(ODX__pstOdxFile,
            "//ECU-MEM-CONNECTORS/ECU-MEM-CONNECTOR/SESSION-DESCS/SESSION-DESC[@DIRECTION=\"DOWNLOAD\"]/"
            "SESSION-SNREF/@SHORT-NAME");
    const char* session = q.pcSingleText();
    if (session == nullptr) {
        LOG_vError("ODX: SESSION-SNREF not found %s", q.expr());
        ODX__acEcuMemRef[0] = '\0';
        return false;
    }
    if (!ODX__boCopyText(ODX__acSessionSnref, sizeof ODX__acSessionSnref, session, "SESSION-SNREF")) {
        ODX__acEcuMemRef[0] = '\0';
        return false;
    }
    LOG_vInfo("ODX: Using SESSION-SNREF: %s", ODX__acSessionSnref);
    LOG_vInfo("ODX: Using ECU-MEM-REF:   %s", ODX__acEcuMemRef);
    return true;
}

namespace {

struct AlfidSlot {
    uint8_t* value;
    uint8_t defaultValue;
    const char* fromOdx;
    const char* fromDefault;
    const char* convertError;
};

}  // namespace

void ODX__vInitAlfid() {
    ODX__u8AlfidEraseMemory = 0x44;
    ODX__u8AlfidRequestDownload = 0x44;
    ODX__u8AlfidCheckMemory = 0x04;
    if (ODX__pstOdxFile == nullptr) {
        LOG_vError("ODX: ALFID Error Opening ODX File");
        return;
    }
    const AlfidSlot slots[3] = {
        {&ODX__u8AlfidEraseMemory, 0x44, "ODX: ALFID Erase:            0x%02X (from ODX)",
         "ODX: ALFID Erase:            0x%02X (Default)", "ODX: Init ALFID Erase Memory Convert Error"},
        {&ODX__u8AlfidRequestDownload, 0x44, "ODX: ALFID Request Download: 0x%02X (from ODX)",
         "ODX: ALFID Request Download: 0x%02X (Default)", "ODX: Init ALFID Request Download Convert Error"},
        {&ODX__u8AlfidCheckMemory, 0x04, "ODX: ALFID Check Memory:     0x%02X (from ODX)",
         "ODX: ALFID Check Memory:     0x%02X (Default)", "ODX: Init ALFID Check Memory Convert Error"},
    };
    ODX__Query q;
    q.boRun(ODX__pstOdxFile,
            "//ECU-MEMS/ECU-MEM/MEM/SESSIONS/SESSION[@ID=\"%s.%s\"]/SECURITYS/SECURITY[SECURITY-METHOD=\"ALFID\"]/"
            "FW-SIGNATURE[@TYPE=\"A_BYTEFIELD\"]",
            ODX__acEcuMemRef, ODX__acSessionSnref);
    const char* text = q.pcText();
    const size_t len = text ? std::strlen(text) : 0;
    for (int i = 0; i < 3; ++i) {
        const AlfidSlot& s = slots[i];
        if (len < static_cast<size_t>(2 * (i + 1))) {
            LOG_vInfo(s.fromDefault, s.defaultValue);
            continue;
        }
        char pair[3] = {text[2 * i], text[2 * i + 1], '\0'};
        uint32_t v = 0;
        if (CNV_boHexStrToUInt32(pair, &v)) {
            *s.value = static_cast<uint8_t>(v);
            LOG_vInfo(s.fromOdx, *s.value);
        } else {
            LOG_vError("%s", s.convertError);
        }
    }
}

void ODX__vInitMemSpecVersion() {
    if (ODX__pstOdxFile == nullptr) {
        LOG_vError("ODX: MemSpecVersion Error Opening ODX File");
        return;
    }
    ODX__enEcuMemSpecVersion = ODX_MEMSPEC_UNKNOWN;
    ODX__Query q;
    q.boRun(ODX__pstOdxFile,
            "//ECU-MEMS/ECU-MEM/MEM/SESSIONS/SESSION[@ID=\"%s.%s\"]/SDGS/SDG/SD[@SI=\"ECU-MEM-SPEC-VERSION\"]",
            ODX__acEcuMemRef, ODX__acSessionSnref);
    if (const char* text = q.pcText()) {
        LOG_vDebug_1("ODX: Read ECU-MEM-SPEC-VERSION: >%s<", text);
        if (std::strcmp(text, "3.0.0") == 0) ODX__enEcuMemSpecVersion = ODX_MEMSPEC_3_0_0;
        else if (std::strcmp(text, "4.0.0") == 0) ODX__enEcuMemSpecVersion = ODX_MEMSPEC_4_0_0;
    }
    if (q.iCount() == 0) {
        q.boRun(ODX__pstOdxFile,
                "//COMPANY-DATAS/COMPANY-DATA/COMPANY-SPECIFIC-INFO/SDGS/SDG/SDG-CAPTION[LONG-NAME=\"ECU-MEM-SPEC\"]/"
                "../SD[@SI=\"VERSION\"]");
        if (const char* text = q.pcText()) {
            LOG_vDebug_1("ODX: Read ECU-MEM-SPEC-VERSION: >%s<", text);
            if (std::strcmp(text, "2.0.0") == 0) ODX__enEcuMemSpecVersion = ODX_MEMSPEC_2_0_0;
        }
    }
    switch (ODX__enEcuMemSpecVersion) {
        case ODX_MEMSPEC_2_0_0: LOG_vInfo("ODX: ECU-MEM-SPEC-VERSION: 2.0.0"); break;
        case ODX_MEMSPEC_3_0_0: LOG_vInfo("ODX: ECU-MEM-SPEC-VERSION: 3.0.0"); break;
        case ODX_MEMSPEC_4_0_0: LOG_vInfo("ODX: ECU-MEM-SPEC-VERSION: 4.0.0"); break;
        case ODX_MEMSPEC_UNKNOWN: LOG_vInfo("ODX: ECU-MEM-SPEC-VERSION: Unknown"); break;
        default: LOG_vInfo("ODX: ECU-MEM-SPEC-VERSION: ERROR"); break;
    }

    q.boRun(ODX__pstOdxFile,
            "//ECU-MEMS/ECU-MEM/MEM/SESSIONS/SESSION[@ID=\"%s.%s\"]/SDGS/SDG/SD[@SI=\"VW80126-VERSION\"]",
            ODX__acEcuMemRef, ODX__acSessionSnref);
    const char* text = q.pcText();
    if (text == nullptr) {
        LOG_vInfo("ODX: Could not find VW80126-VERSION");
        return;
    }
    LOG_vDebug_1("ODX: VW80126-VERSION: >%s<", text);
    // The major number: the text up to the first full stop, as a decimal integer.
    const std::string major(text, std::strcspn(text, "."));
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(major.c_str(), &end, 10);
    if (major.empty() || *end != '\0' || errno == ERANGE || value > INT_MAX || value < INT_MIN) {
        LOG_vError("ODX: VW80126-VERSION >%s< is not a version number", text);
        ODX__enVW80126Version = ODX_VW80126_BELOW_2;
        return;
    }
    if (value >= 2) {
        ODX__enVW80126Version = ODX_VW80126_2_OR_HIGHER;
        LOG_vInfo("ODX: VW80126-VERSION: 2.0.0 or higher (%d)", static_cast<int>(value));
    } else {
        ODX__enVW80126Version = ODX_VW80126_BELOW_2;
        LOG_vInfo("ODX: VW80126-VERSION: Unknown (%d)", static_cast<int>(value));
    }
}

bool ODX_boGetExpectedIdents(ODX__tstExpectedIdents* idents) {
    LOG_vInfo("Looking for Expected Idents");
    idents->count = 0;
    ODX__Query q;
    q.boRun(ODX__pstOdxFile, "//ECU-MEMS/ECU-MEM/MEM/SESSIONS/SESSION/EXPECTED-IDENTS/EXPECTED-IDENT/SHORT-NAME");
    const int n = q.iCount();
    if (n == 0) {
        LOG_vInfo("No Expected Idents found");
        return true;
    }
    idents->count = static_cast<uint8_t>(n > 255 ? 255 : n);
    LOG_vInfo("Number of expected idents: %d", n);
    if (n > ODX_MAX_EXPECTED_IDENTS) {
        LOG_vInfo("Found more Expected Idents than we can handle");
        return false;
    }
    for (int i = 0; i < n; ++i) {
        const char* name = q.pcTextAt(i);
        if (name == nullptr) name = "";
        if (!ODX__boCopyText(idents->names[i], sizeof idents->names[i], name, "Expected ident name")) return false;
        LOG_vInfo("Expected Ident %d: %s", i + 1, idents->names[i]);
    }
    return true;
}

bool ODX_boCheckExpectedIdent(const char* name, const char* value) {
    ODX__Query q;
    q.boRun(ODX__pstOdxFile,
            "//ECU-MEMS/ECU-MEM/MEM/SESSIONS/SESSION/EXPECTED-IDENTS/EXPECTED-IDENT[@ID=\"%s.%s.%s\"]/IDENT-VALUES/"
            "IDENT-VALUE[text()=\"%s\"]",
            ODX__acEcuMemRef, ODX__acSessionSnref, name, value);
    if (q.iCount() >= 1) {
        LOG_vInfo("ODX: Expected Ident: \"%s\" Found \"%s\"", name, value);
        return true;
    }
    LOG_vError("ODX: Expected Ident: \"%s\" not found \"%s\"", name, value);
    return false;
}

void ODX__vFreeSA2Key() {
    if (ODX__pstSA2Key != nullptr) {
        std::free(ODX__pstSA2Key->bytes);
        std::free(ODX__pstSA2Key);
    }
    ODX__pstSA2Key = nullptr;
}

bool ODX__boBuildSA2Key() {
    if (ODX__pstOdxFile == nullptr) {
        LOG_vError("ODX: Build SA2 Document is NULL");
        return false;
    }
    ODX__vFreeSA2Key();
    ODX__Query q;
    q.boRun(ODX__pstOdxFile,
            "//ECU-MEMS/ECU-MEM/MEM/SESSIONS/SESSION[@ID=\"%s.%s\"]/SECURITYS/SECURITY[SECURITY-METHOD=\"SA2\"]/"
            "FW-SIGNATURE[@TYPE=\"A_BYTEFIELD\"]",
            ODX__acEcuMemRef, ODX__acSessionSnref);
    const char* text = q.pcText();
    if (text == nullptr) {
        LOG_vError("ODX: SA2 Key not found");
        return false;
    }
    const uint32_t needed = ODX__u32HexByteCount(text);
    if (needed > ODX_SA2_BUFFER_SIZE) {
        LOG_vError("ODX: SA2 Key of %u Bytes is longer than %u Bytes", needed, ODX_SA2_BUFFER_SIZE);
        return false;
    }
    auto* key = static_cast<ODX_tstSA2KeyParam*>(std::malloc(sizeof(ODX_tstSA2KeyParam)));
    if (key == nullptr) {
        LOG_vError("ODX: SA2 Param: Out of memory to allocate %d Bytes", static_cast<int>(sizeof(ODX_tstSA2KeyParam)));
        return false;
    }
    key->bytes = static_cast<uint8_t*>(std::malloc(ODX_SA2_BUFFER_SIZE));
    if (key->bytes == nullptr) {
        LOG_vError("ODX: SA2 Key: Out of memory to allocate 4096 Bytes");
        std::free(key);
        return false;
    }
    key->length = CNV_u32HexStrToByteArray(text, key->bytes);
    if (key->length == 0) {
        std::free(key->bytes);
        std::free(key);
        LOG_vError("ODX: SA2 Key Length is 0");
        return false;
    }
    ODX__pstSA2Key = key;
    return true;
}

bool ODX_boGetSA2Key(ODX_tstSA2KeyParam* key) {
    if (ODX__pstSA2Key == nullptr) return false;
    key->length = ODX__pstSA2Key->length;
    key->bytes = ODX__pstSA2Key->bytes;
    return true;
}
