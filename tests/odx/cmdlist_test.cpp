// The flash command list: order, fields, flash data, the dump and the cursor.
#include <gtest/gtest.h>

#include <cstring>

#include "odx/odx_internal.h"
#include "odx/odx_test_support.h"

using namespace odxtest;

namespace {

using CommandListTest = OdxTest;

std::vector<ODX_tenFlashCmd> kinds(const std::vector<ODX_tstFlashcmdParam>& cmds) {
    std::vector<ODX_tenFlashCmd> out;
    for (const auto& c : cmds) out.push_back(c.enFlashCmd);
    return out;
}

std::vector<uint8_t> bytes(const ODX_tstFlashcmdParam& c, size_t n) { return {c.pu8Data, c.pu8Data + n}; }

const std::string kAppData = "<DATA>0011223344556677</DATA>";

}  // namespace

TEST_F(CommandListTest, DriverAndTwoFlashDataBlocksInOrder) {
    ASSERT_TRUE(prepare(fixture("flash_session.odx-f")));
    EXPECT_TRUE(log.has("ODX: Parse File successfull"));
    const auto cmds = commandList();
    ASSERT_EQ(kinds(cmds),
              (std::vector<ODX_tenFlashCmd>{ODX_CMD_DOWNLOAD, ODX_CMD_CHECK_MEMORY, ODX_CMD_ERASE, ODX_CMD_DOWNLOAD,
                                            ODX_CMD_CHECK_MEMORY, ODX_CMD_ERASE, ODX_CMD_DOWNLOAD, ODX_CMD_CHECK_MEMORY,
                                            ODX_CMD_UPDATE_EXECUTION, ODX_CMD_FINISH}));
    const auto& drv = cmds[0];
    EXPECT_EQ(drv.u32MemAddress, 0x00A00000u);
    EXPECT_EQ(drv.u32MemSize, 4u);
    EXPECT_EQ(drv.u32MemSizeComp, 0u);
    EXPECT_EQ(drv.u8Alfid, 0x44);
    EXPECT_EQ(drv.u8BlockNo, 255);
    EXPECT_FALSE(drv.boIsFile);
    EXPECT_EQ(bytes(drv, 4), (std::vector<uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_EQ(drv.enVW80126Version, ODX_VW80126_2_OR_HIGHER);
    EXPECT_EQ(cmds[1].u16SigLength, 2);
    EXPECT_EQ(cmds[1].u8BlockNo, 255);
    EXPECT_EQ(cmds[1].u8Alfid, 0x24);

    const auto& erase = cmds[2];
    EXPECT_EQ(erase.u32MemAddress, 0x00A10000u);
    EXPECT_EQ(erase.u32MemSize, 16u);
    EXPECT_EQ(erase.u8Alfid, 0x14);
    EXPECT_EQ(erase.u8BlockNo, 0);
    const auto& app = cmds[3];
    EXPECT_EQ(app.u32MemSizeComp, 8u);
    EXPECT_EQ(ODX_u32TransferSize(app), 8u);
    EXPECT_EQ(app.u8CompEncMethod, 0x10);  // "0110": low 8 bits
    EXPECT_EQ(bytes(app, 8), (std::vector<uint8_t>{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77}));
    // Signature path with a checksum and a compressed block: signature followed by checksum.
    const auto& appSig = cmds[4];
    ASSERT_EQ(appSig.u16SigLength, 67);
    EXPECT_EQ(appSig.pu8Data[64], 0x40);
    EXPECT_EQ(appSig.pu8Data[65], 0xCA);
    EXPECT_EQ(appSig.pu8Data[66], 0xFE);
    EXPECT_EQ(appSig.u8CompEncMethod, 0x10);
    EXPECT_EQ(appSig.u32MemAddress, 0x00A10000u);
    EXPECT_EQ(appSig.u32MemSize, 16u);
    EXPECT_EQ(appSig.u8BlockNo, 0);

    EXPECT_EQ(cmds[5].u8BlockNo, 1);
    // No COMPRESSED-SIZE: transfer size is the uncompressed size, the gap is logged.
    EXPECT_EQ(cmds[6].u32MemSizeComp, 0u);
    EXPECT_EQ(ODX_u32TransferSize(cmds[6]), 4u);
    EXPECT_TRUE(log.has("ODX: GetCompressedSize //ECU-MEMS/ECU-MEM/MEM/DATABLOCKS/DATABLOCK[@ID=\"DB_Param\"]/"
                        "SEGMENTS/SEGMENT/COMPRESSED-SIZE Node not found"));
    EXPECT_EQ(bytes(cmds[7], 4), (std::vector<uint8_t>{0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(cmds[7].u8BlockNo, 1);

    EXPECT_TRUE(log.has("ODX: DRV Alfid:44 BN:255 DB_Driver"));
    EXPECT_TRUE(log.has("ODX: FDE Alfid:14 BN:  0 DB_App"));
    EXPECT_TRUE(log.has("ODX: FDD Alfid:44 BN:  0 DB_App"));
    EXPECT_TRUE(log.has("ODX: SIG Alfid:24 BN:  1 DB_Param"));
    EXPECT_TRUE(log.has("ODX: Update-Execution: Completely"));

    // After FINISH the cursor starts over at the head.
    ODX_tstFlashcmdParam again;
    ODX_vGetNextOdxCommand(&again);
    EXPECT_EQ(again.enFlashCmd, ODX_CMD_DOWNLOAD);
    EXPECT_EQ(again.pu8Data, drv.pu8Data);
}

TEST_F(CommandListTest, DumpPrintsEveryCommand) {
    ASSERT_TRUE(prepare(fixture("flash_session.odx-f")));
    log.clear();
    ODX_vDumpCommandList();
    const auto lines = log.lines("ODX:");
    const std::vector<std::string> head = {
        "ODX: Command List:",
        "ODX: 1) DOWNLOAD",
        "ODX:   ALFID:             0x44 (Memory size length:4, Memory address length:4)",
        "ODX:   Comp Enc Method:   0x00 (Compression Method:0x0, Encryption Method:0x0)",
        "ODX:   Memory address:    0x00A00000",
        "ODX:   Memory Size:       0x4 (4)",
        "ODX:   Memory Size (comp) 0x0 (0)",
        "ODX:   Block Number:      No Block",
        "ODX: 2) CHECK MEMORY",
        "ODX:   Routine:        0x0202",
        "ODX:   Sig Length:     2",
        "ODX:   Block Number:   No Block",
        "ODX: 3) ERASE",
        "ODX:   Routine:        0xFF00",
        "ODX:   ALFID:          0x14 (Memory size length:1, Memory address length:4)",
        "ODX:   Memory address: 0x00A10000",
        "ODX:   Memory Size:    0x10 (16)",
        "ODX:   Block Number:   0",
        "ODX: 4) DOWNLOAD",
        "ODX:   ALFID:             0x44 (Memory size length:4, Memory address length:4)",
        "ODX:   Comp Enc Method:   0x10 (Compression Method:0x1, Encryption Method:0x0)",
    };
    ASSERT_GE(lines.size(), head.size());
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + head.size()), head);
    EXPECT_EQ(lines[lines.size() - 2], "ODX: 9)  UPDATE EXECUTION");
    EXPECT_EQ(lines.back(), "ODX: 10)  FINISH");

    // Below VW 80126 2.0.0 a check memory also shows its memory area.
    ASSERT_TRUE(prepare(replaceOnce(fixture("flash_session.odx-f"), "<SD SI=\"VW80126-VERSION\">2.1</SD>", "")));
    log.clear();
    ODX_vDumpCommandList();
    const auto old = log.lines("ODX:");
    const auto it = std::find(old.begin(), old.end(), "ODX: 2) CHECK MEMORY");
    ASSERT_NE(it, old.end());
    EXPECT_EQ(*(it + 2), "ODX:   ALFID:          0x24 (Memory size length:2, Memory address length:4)");
    EXPECT_EQ(*(it + 5), "ODX:   Sig Length:     2");

    ODX_vDeinit();
    ODX_vInit();
    log.clear();
    ODX_vDumpCommandList();
    EXPECT_EQ(log.lines("ODX:"), (std::vector<std::string>{"ODX: Command List:", "ODX: 1)  ERROR"}));
}

TEST_F(CommandListTest, InlineDataMustBeExactlyTheTransferSize) {
    struct Case {
        const char* data;
        const char* line;
    } cases[] = {
        {"00112233445566778", "ODX: getInternFlashData: Uneven Size 17"},
        {"00112233445566", "ODX: getInternFlashData: Wanted 8 is not read 7 size"},
        {"001122334455667 ", "ODX: getInternFlashData: Datasize is not 8"},
        {"0011 2233445566", "ODX: getInternFlashData: Uneven Size 15"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        log.clear();
        ASSERT_TRUE(prepare(replaceOnce(fixture("flash_session.odx-f"), kAppData, std::string("<DATA>") + c.data + "</DATA>")));
        EXPECT_TRUE(log.has(c.line));
        EXPECT_TRUE(log.has("ODX: Building DATA Block"));
        // The App block keeps only its erase command; the build goes on with the next block.
        EXPECT_EQ(kinds(commandList()),
                  (std::vector<ODX_tenFlashCmd>{ODX_CMD_DOWNLOAD, ODX_CMD_CHECK_MEMORY, ODX_CMD_ERASE, ODX_CMD_ERASE,
                                                ODX_CMD_DOWNLOAD, ODX_CMD_CHECK_MEMORY, ODX_CMD_UPDATE_EXECUTION,
                                                ODX_CMD_FINISH}));
    }
}

TEST_F(CommandListTest, ExternalDataIsFoundOnlyBesideAnOdxFileInAPackage) {
    std::string doc = replaceOnce(fixture("flash_session.odx-f"), "ID=\"FD_App\" xsi:type=\"INTERN-FLASHDATA\"",
                                  "ID=\"FD_App\" xsi:type=\"EXTERN-FLASHDATA\"");
    doc = replaceOnce(doc, kAppData, "<DATAFILE>data/app.bin</DATAFILE>");
    ASSERT_TRUE(prepare(doc));
    auto cmds = commandList();
    ASSERT_EQ(cmds.size(), 10u);
    EXPECT_TRUE(cmds[3].boIsFile);
    const std::string expected = (packageDir() / "data" / "app.bin").string();
    EXPECT_STREQ(reinterpret_cast<const char*>(cmds[3].pu8Data), expected.c_str());
    log.clear();
    ODX_vDumpCommandList();
    EXPECT_TRUE(log.has("ODX:   Filename:          " + expected));

    struct Case {
        const char* name;
        std::string file;  // where the ODX-F file lies, relative to the datflash root
        std::string dataFile;
        const char* line;
    } cases[] = {
        {"outside the unpack root", std::string("other/") + kOdxName, "data/app.bin",
         "ODX: No Match - current ODX is not in unpacked PDX"},
        {"subdirectory of a package", std::string("Unpacked/Cluster.pdx/sub/") + kOdxName, "data/app.bin",
         "ODX: No Match - current ODX is not in unpacked PDX"},
        {"climbing name", std::string("Unpacked/Cluster.pdx/") + kOdxName, "../../secret.bin",
         "ODX: Data file name \"../../secret.bin\" leaves the package directory"},
        {"absolute name", std::string("Unpacked/Cluster.pdx/") + kOdxName, "/etc/passwd",
         "ODX: Data file name \"/etc/passwd\" leaves the package directory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ODX_vDeinit();
        ODX_vInit();
        log.clear();
        const fs::path file = root() / c.file;
        writeFile(file, replaceOnce(doc, "data/app.bin", c.dataFile));
        ASSERT_TRUE(ODX_boOpenOdxFile(file.string(), rec));
        ASSERT_TRUE(ODX_boPrepareOdxCommandList());
        EXPECT_TRUE(log.has(c.line));
        EXPECT_TRUE(log.has("ODX: ODX_getExternFlashFilename: Can't get binary data path for " + c.dataFile));
        cmds = commandList();
        ASSERT_EQ(cmds.size(), 8u);
        EXPECT_EQ(cmds[2].enFlashCmd, ODX_CMD_ERASE);
        EXPECT_EQ(cmds[3].enFlashCmd, ODX_CMD_ERASE);
        fs::remove(file);
    }
}

TEST_F(CommandListTest, BlockFaultsThatFailTheWholeList) {
    const std::string doc = fixture("flash_session.odx-f");
    const std::string appSegment = "<SOURCE-START-ADDRESS>A10000</SOURCE-START-ADDRESS>";
    struct Case {
        const char* name;
        std::string doc;
        const char* line;
    } cases[] = {
        {"two segments",
         replaceOnce(doc, "<SEGMENT>\n                  " + appSegment,
                     "<SEGMENT>" + appSegment + "</SEGMENT><SEGMENT>\n                  " + appSegment),
         "ODX: More than 1 SEGMENT found for DB_App"},
        {"unknown type", replaceOnce(doc, "TYPE=\"DRIVER\"", "TYPE=\"BOOTLOADER\""), "ODX: Unknown Block \"BOOTLOADER\""},
        {"DATA block without security method",
         replaceOnce(replaceOnce(doc, "ID=\"DB_Param\" TYPE=\"FLASH_DATA\"", "ID=\"DB_Param\" TYPE=\"DATA\""),
                     "<SECURITY-METHOD TYPE=\"A_ASCIISTRING\">CHECKSUM</SECURITY-METHOD>\n"
                     "                  <FW-CHECKSUM TYPE=\"A_BYTEFIELD\">12345678",
                     "<FW-CHECKSUM TYPE=\"A_BYTEFIELD\">12345678"),
         "ODX: No SECURITY-METHOD for Param"},
        {"driver without data", replaceOnce(doc, "<DATA>DEADBEEF</DATA>", ""), "ODX: Building DRIVER Block"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log.clear();
        EXPECT_FALSE(prepare(c.doc));
        EXPECT_TRUE(log.has(c.line));
        EXPECT_TRUE(log.has("ODX: Build Command List failed"));
        EXPECT_EQ(commandList().size(), 1u);  // the list is empty: the read leaves ERROR
    }
}

TEST_F(CommandListTest, BlockNumbersAndUpdateExecution) {
    std::string doc = fixture("flash_session.odx-f");
    // A driver block naming a software block still gets no block number.
    doc = replaceOnce(doc, "<SHORT-NAME>Driver</SHORT-NAME>",
                      "<SHORT-NAME>Driver</SHORT-NAME><OWN-IDENTS><OWN-IDENT ID=\"OI_Drv\"><SHORT-NAME>"
                      "OI_VWLogicSoftwBlockVersi_Drv</SHORT-NAME><IDENT-VALUE TYPE=\"A_ASCIISTRING\">0001</IDENT-VALUE>"
                      "</OWN-IDENT></OWN-IDENTS>");
    doc = replaceOnce(doc, "<SD SI=\"Update-Execution\">Completely</SD>", "<SD SI=\"Update-Execution\">completely</SD>");
    doc = replaceOnce(doc, "ID=\"DB_Param\" TYPE=\"FLASH_DATA\"", "ID=\"DB_Param\" TYPE=\"ERASE\"");
    ASSERT_TRUE(prepare(doc));
    EXPECT_EQ(rec.u8BlockCount, 3);
    const auto cmds = commandList();
    ASSERT_EQ(kinds(cmds), (std::vector<ODX_tenFlashCmd>{ODX_CMD_DOWNLOAD, ODX_CMD_CHECK_MEMORY, ODX_CMD_ERASE,
                                                         ODX_CMD_DOWNLOAD, ODX_CMD_CHECK_MEMORY, ODX_CMD_ERASE,
                                                         ODX_CMD_FINISH}));
    EXPECT_EQ(cmds[0].u8BlockNo, 255);
    EXPECT_EQ(cmds[1].u8BlockNo, 255);
    EXPECT_EQ(cmds[3].u8BlockNo, 1);
    EXPECT_EQ(cmds[5].u8BlockNo, 2);
    EXPECT_TRUE(log.has("ODX: ERA Alfid:14 BN:  2 DB_Param"));
    EXPECT_TRUE(log.has("ODX: Unknown Update-Execution: completely"));

    // Without block versions every block gets block number 255.
    ODX__tsEcuVer empty{};
    ODX__psBlockVersion = &empty;
    EXPECT_EQ(ODX__u8GetBlockNumber("DB_App"), 255);

    ASSERT_TRUE(prepare(replaceOnce(fixture("flash_session.odx-f"), "<SD SI=\"Update-Execution\">Completely</SD>", "")));
    EXPECT_TRUE(log.has("ODX: No Update Execution found"));
    EXPECT_EQ(commandList().size(), 9u);
}
