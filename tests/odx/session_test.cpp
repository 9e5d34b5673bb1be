// Session-level facts of an ODX-F document: references, ALFIDs, specification versions,
// expected identifications and SA2 data.
#include <gtest/gtest.h>

#include "odx/odx_internal.h"
#include "odx/odx_test_support.h"

using namespace odxtest;

namespace {

const std::string kAlfid = "<FW-SIGNATURE TYPE=\"A_BYTEFIELD\">144424</FW-SIGNATURE>";
const std::string kMemSpec = "<SD SI=\"ECU-MEM-SPEC-VERSION\">3.0.0</SD>";
const std::string kVw = "<SD SI=\"VW80126-VERSION\">2.1</SD>";
const std::string kSa2 = "<FW-SIGNATURE TYPE=\"A_BYTEFIELD\">8101 4C</FW-SIGNATURE>";

std::string withCompanyData(std::string doc, const std::string& version) {
    return replaceOnce(doc, "<SHORT-NAME>FL_Cluster</SHORT-NAME>",
                       "<SHORT-NAME>FL_Cluster</SHORT-NAME><COMPANY-DATAS><COMPANY-DATA ID=\"CD\">"
                       "<COMPANY-SPECIFIC-INFO><SDGS><SDG><SDG-CAPTION ID=\"C1\"><LONG-NAME>ECU-MEM-SPEC</LONG-NAME>"
                       "</SDG-CAPTION><SD SI=\"VERSION\">" +
                           version + "</SD></SDG></SDGS></COMPANY-SPECIFIC-INFO></COMPANY-DATA></COMPANY-DATAS>");
}

using SessionTest = OdxTest;

}  // namespace

TEST_F(SessionTest, ReadsReferencesAlfidsAndVersionsOfTheReferenceDocument) {
    ASSERT_TRUE(open(fixture("flash_session.odx-f")));
    EXPECT_STREQ(ODX__acEcuMemRef, "EM_Cluster");
    EXPECT_STREQ(ODX__acSessionSnref, "Session_Flash");
    EXPECT_TRUE(log.has("ODX: Using SESSION-SNREF: Session_Flash"));
    EXPECT_TRUE(log.has("ODX: Using ECU-MEM-REF:   EM_Cluster"));
    EXPECT_EQ(ODX__u8AlfidEraseMemory, 0x14);
    EXPECT_EQ(ODX__u8AlfidRequestDownload, 0x44);
    EXPECT_EQ(ODX__u8AlfidCheckMemory, 0x24);
    EXPECT_TRUE(log.has("ODX: ALFID Check Memory:     0x24 (from ODX)"));
    EXPECT_EQ(ODX__enEcuMemSpecVersion, ODX_MEMSPEC_3_0_0);
    EXPECT_TRUE(log.has("ODX: ECU-MEM-SPEC-VERSION: 3.0.0"));
    EXPECT_EQ(ODX__enVW80126Version, ODX_VW80126_2_OR_HIGHER);
    EXPECT_TRUE(log.has("ODX: VW80126-VERSION: 2.0.0 or higher (2)"));
    EXPECT_TRUE(ODX__boFileIsODXF);
}

TEST_F(SessionTest, AmbiguousConnectorOrDownloadSessionFailsTheOpen) {
    const std::string doc = fixture("flash_session.odx-f");
    const std::string connector = doc.substr(doc.find("<ECU-MEM-CONNECTOR ID"),
                                             doc.find("</ECU-MEM-CONNECTORS>") - doc.find("<ECU-MEM-CONNECTOR ID"));
    EXPECT_FALSE(open(replaceOnce(doc, "</ECU-MEM-CONNECTORS>", connector + "</ECU-MEM-CONNECTORS>")));
    EXPECT_TRUE(log.has("ODX: ECU-MEM-REF not found //ECU-MEM-CONNECTORS/ECU-MEM-CONNECTOR/ECU-MEM-REF/@ID-REF"));

    const std::string desc =
        "<SESSION-DESC DIRECTION=\"DOWNLOAD\"><SHORT-NAME>X</SHORT-NAME><SESSION-SNREF SHORT-NAME=\"Other\"/>"
        "</SESSION-DESC>";
    EXPECT_FALSE(open(replaceOnce(doc, "</SESSION-DESCS>", desc + "</SESSION-DESCS>")));
    EXPECT_TRUE(log.has("ODX: SESSION-SNREF not found //ECU-MEM-CONNECTORS/ECU-MEM-CONNECTOR/SESSION-DESCS/"
                        "SESSION-DESC[@DIRECTION=\"DOWNLOAD\"]/SESSION-SNREF/@SHORT-NAME"));
}

TEST_F(SessionTest, OverlongReferenceIsRefused) {
    const std::string doc = fixture("flash_session.odx-f");
    const std::string longRef(100, 'R');
    std::string changed = replaceOnce(doc, "<ECU-MEM-REF ID-REF=\"EM_Cluster\"/>", "<ECU-MEM-REF ID-REF=\"" + longRef + "\"/>");
    EXPECT_FALSE(open(changed));
    EXPECT_EQ(ODX__acEcuMemRef[0], '\0');
}

TEST_F(SessionTest, AlfidTextGivesOnePairPerService) {
    struct Case {
        const char* text;  // nullptr: no ALFID security
        uint8_t erase, download, check;
        const char* line;
    } cases[] = {
        {"11", 0x11, 0x44, 0x04, "ODX: ALFID Request Download: 0x44 (Default)"},
        {"112233", 0x11, 0x22, 0x33, "ODX: ALFID Check Memory:     0x33 (from ODX)"},
        {"1122334455", 0x11, 0x22, 0x33, "ODX: ALFID Erase:            0x11 (from ODX)"},
        {"ZZ2233", 0x44, 0x22, 0x33, "ODX: Init ALFID Erase Memory Convert Error"},
        {nullptr, 0x44, 0x44, 0x04, "ODX: ALFID Check Memory:     0x04 (Default)"},
    };
    const std::string doc = fixture("flash_session.odx-f");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "none");
        log.clear();
        const std::string changed =
            c.text ? replaceOnce(doc, kAlfid, std::string("<FW-SIGNATURE TYPE=\"A_BYTEFIELD\">") + c.text + "</FW-SIGNATURE>")
                   : replaceOnce(doc, "SECURITY-METHOD TYPE=\"A_ASCIISTRING\">ALFID<", "SECURITY-METHOD TYPE=\"A_ASCIISTRING\">NOALFID<");
        ASSERT_TRUE(open(changed));
        EXPECT_EQ(ODX__u8AlfidEraseMemory, c.erase);
        EXPECT_EQ(ODX__u8AlfidRequestDownload, c.download);
        EXPECT_EQ(ODX__u8AlfidCheckMemory, c.check);
        EXPECT_TRUE(log.has(c.line));
    }
}

TEST_F(SessionTest, EcuMemSpecVersionFromSessionOrCompanyData) {
    struct Case {
        const char* session;  // nullptr: no session value
        const char* company;  // nullptr: no company data
        ODX__tenEcuMemSpecVersion expected;
        const char* line;
    } cases[] = {
        {"3.0.0", "2.0.0", ODX_MEMSPEC_3_0_0, "ODX: ECU-MEM-SPEC-VERSION: 3.0.0"},
        {"4.0.0", nullptr, ODX_MEMSPEC_4_0_0, "ODX: ECU-MEM-SPEC-VERSION: 4.0.0"},
        {nullptr, "2.0.0", ODX_MEMSPEC_2_0_0, "ODX: ECU-MEM-SPEC-VERSION: 2.0.0"},
        {"5.0.0", "2.0.0", ODX_MEMSPEC_UNKNOWN, "ODX: ECU-MEM-SPEC-VERSION: Unknown"},
        {"2.0.0", nullptr, ODX_MEMSPEC_UNKNOWN, "ODX: ECU-MEM-SPEC-VERSION: Unknown"},
        {nullptr, "3.0.0", ODX_MEMSPEC_UNKNOWN, "ODX: ECU-MEM-SPEC-VERSION: Unknown"},
    };
    const std::string doc = fixture("flash_session.odx-f");
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.session ? c.session : "-") + "/" + (c.company ? c.company : "-"));
        log.clear();
        std::string changed = replaceOnce(
            doc, kMemSpec, c.session ? std::string("<SD SI=\"ECU-MEM-SPEC-VERSION\">") + c.session + "</SD>" : "");
        if (c.company) changed = withCompanyData(changed, c.company);
        // Version 2.0.0 counts only DATA blocks; these blocks are FLASH_DATA, so no block versions.
        open(changed);
        EXPECT_EQ(ODX__enEcuMemSpecVersion, c.expected);
        EXPECT_TRUE(log.has(c.line));
    }
}

TEST_F(SessionTest, Vw80126VersionTakesTheMajorNumber) {
    struct Case {
        const char* text;  // nullptr: no value
        ODX_tenVW80126Version expected;
        const char* line;
    } cases[] = {
        {"2.1", ODX_VW80126_2_OR_HIGHER, "ODX: VW80126-VERSION: 2.0.0 or higher (2)"},
        // A file without a value does not inherit the version of the file opened before it.
        {nullptr, ODX_VW80126_BELOW_2, "ODX: Could not find VW80126-VERSION"},
        {"1.9.9", ODX_VW80126_BELOW_2, "ODX: VW80126-VERSION: Unknown (1)"},
        {"10", ODX_VW80126_2_OR_HIGHER, "ODX: VW80126-VERSION: 2.0.0 or higher (10)"},
        {"x.1", ODX_VW80126_BELOW_2, "ODX: VW80126-VERSION >x.1< is not a version number"},
        {"99999999999999999999", ODX_VW80126_BELOW_2,
         "ODX: VW80126-VERSION >99999999999999999999< is not a version number"},
    };
    const std::string doc = fixture("flash_session.odx-f");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "none");
        log.clear();
        ASSERT_TRUE(open(replaceOnce(doc, kVw, c.text ? std::string("<SD SI=\"VW80126-VERSION\">") + c.text + "</SD>" : "")));
        EXPECT_EQ(ODX__enVW80126Version, c.expected);
        EXPECT_TRUE(log.has(c.line));
    }
}

TEST_F(SessionTest, ExpectedIdentsUpToTen) {
    const std::string doc = fixture("flash_session.odx-f");
    ASSERT_TRUE(open(doc));
    ODX__tstExpectedIdents idents{};
    EXPECT_TRUE(ODX_boGetExpectedIdents(&idents));
    ASSERT_EQ(idents.count, 2);
    EXPECT_STREQ(idents.names[0], "HW_Number");
    EXPECT_STREQ(idents.names[1], "HW_Version");
    EXPECT_TRUE(log.has("Expected Ident 2: HW_Version"));

    // The value must match character for character, blanks included.
    EXPECT_TRUE(ODX_boCheckExpectedIdent("HW_Number", "5G0920320  "));
    EXPECT_TRUE(log.has("ODX: Expected Ident: \"HW_Number\" Found \"5G0920320  \""));
    EXPECT_FALSE(ODX_boCheckExpectedIdent("HW_Number", "5G0920320"));
    EXPECT_TRUE(log.has("ODX: Expected Ident: \"HW_Number\" not found \"5G0920320\""));

    for (int total : {10, 11}) {
        SCOPED_TRACE(total);
        std::string extra;
        for (int i = 3; i <= total; ++i) {
            extra += "<EXPECTED-IDENT ID=\"EM_Cluster.Session_Flash.X" + std::to_string(i) + "\"><SHORT-NAME>X" +
                     std::to_string(i) + "</SHORT-NAME></EXPECTED-IDENT>";
        }
        ASSERT_TRUE(open(replaceOnce(doc, "</EXPECTED-IDENTS>", extra + "</EXPECTED-IDENTS>")));
        EXPECT_EQ(ODX_boGetExpectedIdents(&idents), total == 10);
        EXPECT_EQ(idents.count, total);
        if (total == 10) {
            EXPECT_STREQ(idents.names[9], "X10");
        } else {
            EXPECT_TRUE(log.has("Found more Expected Idents than we can handle"));
        }
    }

    ASSERT_TRUE(open(replaceOnce(doc, "<SHORT-NAME>HW_Version</SHORT-NAME>",
                                 "<SHORT-NAME>" + std::string(1024, 'N') + "</SHORT-NAME>")));
    EXPECT_FALSE(ODX_boGetExpectedIdents(&idents));
}

TEST_F(SessionTest, Sa2DataFromTheSession) {
    struct Case {
        std::string text;
        bool ok;
        std::vector<uint8_t> bytes;
        const char* line;
    } cases[] = {
        {"8101 4C", true, {0x81, 0x01, 0x4C}, nullptr},
        {"0A 0B", true, {0x0A, 0x0B}, nullptr},
        {"   ", false, {}, "ODX: SA2 Key Length is 0"},
        {std::string(8192, 'F'), true, std::vector<uint8_t>(4096, 0xFF), nullptr},
        {std::string(8194, 'F'), false, {}, "ODX: SA2 Key of 4097 Bytes is longer than 4096 Bytes"},
    };
    const std::string doc = fixture("flash_session.odx-f");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 20));
        log.clear();
        const bool ok = prepare(replaceOnce(doc, kSa2, "<FW-SIGNATURE TYPE=\"A_BYTEFIELD\">" + c.text + "</FW-SIGNATURE>"));
        EXPECT_EQ(ok, c.ok);
        ODX_tstSA2KeyParam key{};
        ASSERT_EQ(ODX_boGetSA2Key(&key), c.ok);
        if (c.ok) {
            EXPECT_EQ(std::vector<uint8_t>(key.bytes, key.bytes + key.length), c.bytes);
        }
        if (c.line) {
            EXPECT_TRUE(log.has(c.line));
            EXPECT_TRUE(log.has("ODX: Can not build SA2Key"));
        }
        ODX_vDeinit();
        ODX_vInit();
    }
    EXPECT_FALSE(ODX_boPrepareOdxCommandList());
    EXPECT_TRUE(log.has("ODX: No Open ODX"));
}
