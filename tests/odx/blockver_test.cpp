// Block versions with byte positions from the layer files, software version from the file
// name, and opening a file by pattern.
#include <gtest/gtest.h>

#include "odx/odx_internal.h"
#include "odx/odx_test_support.h"

using namespace odxtest;

namespace {

using BlockVersionTest = OdxTest;

const std::string kAppVersion = "<IDENT-VALUE TYPE=\"A_ASCIISTRING\">0221</IDENT-VALUE>";

}  // namespace

TEST_F(BlockVersionTest, BlocksWithVersionsAndBytePositions) {
    ASSERT_TRUE(open(fixture("flash_session.odx-f")));
    // The driver block carries no block version: App is block 0, Param block 1.
    ASSERT_EQ(rec.u8BlockCount, 2);
    EXPECT_STREQ(rec.aacBlockVersion[0], "0221");
    EXPECT_STREQ(rec.aacBlockIdentName[0], "OI_VWLogicSoftwBlockVersi_App");
    EXPECT_EQ(rec.ai32BytePos[0], 11);
    EXPECT_TRUE(log.has("ODX: Datablock:Param_VWLogicSoftwBlockVersi_App Byte Pos from Layer:11"));
    EXPECT_TRUE(log.has("ODX: Block 00 Version 0221 BytePos:11 (OI_VWLogicSoftwBlockVersi_App)"));
    EXPECT_STREQ(rec.aacBlockVersion[1], "0007");
    EXPECT_EQ(rec.ai32BytePos[1], 7);  // not in the layer: 1 * 4 + 3
    EXPECT_TRUE(log.has("ODX: Unable to find Byte Pos for Block 01, assuming Byte Pos 7"));
    EXPECT_TRUE(log.has("ODX: Shortname OI_VWLogicSoftwBlockVersi_Param has no OUT-PARAM-IF-SNREF"));
    EXPECT_STREQ(rec.acEcuVersion, "0221");
    EXPECT_TRUE(log.has("ODX: ECU-Version from ODX-Filename: 0221"));
    EXPECT_EQ(ODX__psBlockVersion, &rec);
    EXPECT_EQ(std::string(ODX__acOdxFilePath), (packageDir() / kOdxName).string());
}

TEST_F(BlockVersionTest, MemSpec200CountsOnlyDataBlocks) {
    std::string doc = replaceOnce(fixture("flash_session.odx-f"), "<SD SI=\"ECU-MEM-SPEC-VERSION\">3.0.0</SD>", "");
    doc = replaceOnce(doc, "<SHORT-NAME>FL_Cluster</SHORT-NAME>",
                      "<SHORT-NAME>FL_Cluster</SHORT-NAME><COMPANY-DATAS><COMPANY-DATA ID=\"CD\"><COMPANY-SPECIFIC-INFO>"
                      "<SDGS><SDG><SDG-CAPTION ID=\"C\"><LONG-NAME>ECU-MEM-SPEC</LONG-NAME></SDG-CAPTION>"
                      "<SD SI=\"VERSION\">2.0.0</SD></SDG></SDGS></COMPANY-SPECIFIC-INFO></COMPANY-DATA></COMPANY-DATAS>");
    ASSERT_TRUE(open(doc));
    EXPECT_EQ(rec.u8BlockCount, 0);
    EXPECT_TRUE(log.has("ODX: Datablock ID-REF: DB_App is of type: FLASH_DATA"));

    ASSERT_TRUE(open(replaceOnce(doc, "ID=\"DB_App\" TYPE=\"FLASH_DATA\"", "ID=\"DB_App\" TYPE=\"DATA\"")));
    ASSERT_EQ(rec.u8BlockCount, 1);
    EXPECT_STREQ(rec.aacBlockIdentName[0], "OI_VWLogicSoftwBlockVersi_App");
}

TEST_F(BlockVersionTest, LayerLookupFailuresFallBackToTheDefaultPosition) {
    const std::string doc = fixture("flash_session.odx-f");
    struct Case {
        const char* name;
        std::string layer;       // layer file text written beside the standard one ("" none)
        bool removeStandard;     // no standard layer file
        const char* line;
    } cases[] = {
        {"no layer file", "", true, "ODX: Did not find any files"},
        {"two layer files", fixture("layer_cluster.odx"), false, "ODX: Found more than one file"},
        {"broken layer file", "<ODX>", true, nullptr},
        {"byte position not a number",
         replaceOnce(fixture("layer_cluster.odx"), "<BYTE-POSITION>11</BYTE-POSITION>", "<BYTE-POSITION>1x</BYTE-POSITION>"),
         true, "ODX: BYTE-POSITION >1x< is not a decimal number"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        writeFile(packageDir() / kOdxName, doc);
        writeFile(root() / "layers" / "EV_ClusterUDS_001.odx", fixture("layer_cluster.odx"));
        if (c.removeStandard) fs::remove(root() / "layers" / "EV_ClusterUDS_001.odx");
        if (!c.layer.empty()) writeFile(root() / "other" / "EV_ClusterUDS_002.ODX", c.layer);
        ASSERT_TRUE(ODX_boOpenOdxFile((packageDir() / kOdxName).string(), rec));
        EXPECT_EQ(rec.ai32BytePos[0], 3);
        EXPECT_TRUE(log.has("ODX: Unable to find Byte Pos for Block 00, assuming Byte Pos 3"));
        if (c.line) {
            EXPECT_TRUE(log.has(c.line));
        }
        fs::remove_all(root() / "other");
    }
}

TEST_F(BlockVersionTest, FaultyBlockVersionsFailTheOpen) {
    const std::string doc = fixture("flash_session.odx-f");
    std::string refs;
    for (int i = 0; i < 65; ++i) refs += "<DATABLOCK-REF ID-REF=\"DB_Param\"/>";
    struct Case {
        const char* name;
        std::string doc;
        const char* line;
    } cases[] = {
        {"two versions", replaceOnce(doc, kAppVersion, kAppVersion + kAppVersion),
         "ODX: Datablock ID-REF: DB_App has more than 1 IDENT-VALUE for OI_VWLogicSoftwBlockVersi"},
        {"version of 5 characters",
         replaceOnce(doc, kAppVersion, "<IDENT-VALUE TYPE=\"A_ASCIISTRING\">02210</IDENT-VALUE>"), nullptr},
        {"65 blocks", replaceOnce(doc, "<DATABLOCK-REF ID-REF=\"DB_Param\"/>", refs),
         "ODX: More than 64 blocks with a block version, Datablock ID-REF: DB_Param"},
        {"reference without ID", replaceOnce(doc, "<DATABLOCK-REF ID-REF=\"DB_Param\"/>", "<DATABLOCK-REF/>"),
         "ODX: Datablock 2 has no ID-REF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        EXPECT_FALSE(open(c.doc));
        EXPECT_EQ(ODX__psBlockVersion, nullptr);
        EXPECT_LE(rec.u8BlockCount, 64);
        if (c.line) {
            EXPECT_TRUE(log.has(c.line));
        }
    }
}

TEST(FileNameVersion, FlAndDbForms) {
    struct Case {
        const char* path;
        bool ok;
        const char* version;
        const char* line;
    } cases[] = {
        {"FL_ABC123_0221.odx", true, "0221", "ODX: Found Version: '0221' in Filename"},
        {"/a/FL_x_9999/FL_ABC123__0221_E.odx-f", true, "0221", nullptr},
        {"FL_ABC123_02211.odx", false, "", "ODX: Incorrect Size 5 of Version in FL Filename"},
        {"fl_ABC123_0221.odx", false, "", "ODX: Could not Read Version from Filename \"fl_ABC123_0221.odx\""},
        {"DB_1_2_3_4_5.odx", true, "", "ODX: DB Name   : 5"},
        {"FL_ABC123_0221", false, "", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        LogCapture log;
        char version[5] = "xxxx";
        EXPECT_EQ(ODX__boFindVersion(c.path, version), c.ok);
        if (c.ok) {
            EXPECT_STREQ(version, c.version);
        }
        if (c.line) {
            EXPECT_TRUE(log.has(c.line));
        }
    }
}

TEST_F(BlockVersionTest, FileNameWithoutVersionFailsTheOpen) {
    EXPECT_FALSE(open(fixture("flash_session.odx-f"), "FL_5G0920320A_02211.odx-f"));
    EXPECT_EQ(ODX__acOdxFilePath[0], '\0');
    EXPECT_TRUE(open(fixture("flash_session.odx-f"), "DB_1_2_3_4_5.odx"));
    EXPECT_STREQ(rec.acEcuVersion, "");
    EXPECT_FALSE(ODX__boFileIsODXF);
}

TEST_F(BlockVersionTest, OpenByPatternNeedsExactlyOneFile) {
    writeFile(root() / "layers" / "EV_ClusterUDS_001.odx", fixture("layer_cluster.odx"));
    writeFile(packageDir() / kOdxName, fixture("flash_session.odx-f"));
    EXPECT_TRUE(ODX_boOpenOdxFile_ByPattern(root().string(), "^FL_5G0920320A_.*$", rec));
    EXPECT_TRUE(log.has("ODX: Found \"" + (packageDir() / kOdxName).string() + "\""));

    EXPECT_FALSE(ODX_boOpenOdxFile_ByPattern(root().string(), "^FL_NOTHERE.*$", rec));
    EXPECT_TRUE(log.has("ODX: Did not find any files"));

    writeFile(root() / "copy" / kOdxName, fixture("flash_session.odx-f"));
    log.clear();
    EXPECT_FALSE(ODX_boOpenOdxFile_ByPattern(root().string(), "^FL_5G0920320A_.*$", rec));
    EXPECT_TRUE(log.has("ODX: Found more than one file"));
    EXPECT_FALSE(log.has("ODX: Reading REFs from " + (packageDir() / kOdxName).string()));

    // A pattern that is no regular expression is a logged error, not a crash.
    EXPECT_FALSE(ODX_boOpenOdxFile_ByPattern(root().string(), "^FL_(.*$", rec));
}
