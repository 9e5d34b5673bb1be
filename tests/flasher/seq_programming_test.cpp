// Programming loop and block check of the flash procedure, in process without an ECU.
#include <gtest/gtest.h>

#include <cstring>

#include "flasher/flash_seq.h"
#include "odx/odx.h"
#include "seq_support.h"

namespace {

class SeqProgramming : public ::testing::Test {
protected:
    seqtest::TempDir dir;
    std::string log = dir.path + "/log.txt";

    void SetUp() override {
        ASSERT_EQ(0, seqtest::initOptions({}, log));
        FLASH__vResetIdents();
        FLASH__sOdxBlockVersion = {};
    }
    void TearDown() override {
        FLASH__vResetIdents();
        FLASH__sOdxBlockVersion = {};
        LOG_SetFilename("");
    }
};

TEST_F(SeqProgramming, EmptyCommandListEndsTheLoopAsFlashCommandError) {
    ODX_vInit();
    EXPECT_EQ(5, runProgrammingLoop());
    ODX_vDeinit();
    const auto l = seqtest::logMessages(log);
    const int at = seqtest::indexOf(l, "FLASH: Flash Command Error");
    ASSERT_GE(at, 0);
    EXPECT_EQ(at + 1, seqtest::indexOf(l, "Error while Programming Loop"));
}

TEST_F(SeqProgramming, HandlersSkipBlocksMarkedCurrentWithoutTalkingToTheEcu) {
    FLASH__sOdxBlockVersion.u8BlockCount = 2;
    FLASH__sOdxBlockVersion.aboProgramBlock[1] = 0;
    ODX_tstFlashcmdParam cmd;
    cmd.u8BlockNo = 1;
    // No transport is bound: any request would fail and give 5.
    EXPECT_EQ(0, eraseCommand(cmd));
    EXPECT_EQ(0, downloadCommand(cmd));
    EXPECT_EQ(0, checkMemoryCommand(cmd));
    const auto l = seqtest::logMessages(log);
    EXPECT_TRUE(seqtest::hasLine(l, "FLASH: Skipping Erase of Block 1"));
    EXPECT_TRUE(seqtest::hasLine(l, "FLASH: Skip Programming of Block 1"));
    EXPECT_TRUE(seqtest::hasLine(l, "FLASH: Skip Checking of Block 1"));
}

TEST_F(SeqProgramming, BlockCheckAfterProgramming) {
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, uint8_t>> ecu;
        std::vector<std::pair<const char*, int32_t>> file;
        int result;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"no file blocks", {{"0001", 0}}, {}, 0, {"FLASH: Skip checking block versions since ODX contains no blocks."}},
        {"all match", {{"0001", 0}, {"0002", 0}, {"0003", 0}}, {{"0001", 3}, {"0002", 7}}, 0,
         {"FLASH: Check if all blocks from ODX match ECU version", "FLASH: Block 01 ODX:0002 Clust:0002 State:00 - OK"}},
        {"invalid ECU block", {{"0001", 0}, {"0002", 2}}, {{"0001", 3}, {"0002", 7}}, 8,
         {"FLASH:Block 01 Clust:0002 State:02 - Invalid", "FLASH: Not all Blocks from ECU are valid"}},
        {"file has more blocks", {{"0001", 0}}, {{"0001", 3}, {"0002", 7}}, 8,
         {"FLASH: The ODX File has more Blocks than the ECU 1 2"}},
        {"mismatch by byte position", {{"0001", 0}, {"0002", 0}}, {{"0002", 3}, {"0002", 7}}, 8,
         {"FLASH: Block 00 ODX:0002 Clust:0001 State:00 - Version Mismatch",
          "FLASH: Block Version Information do not match"}},
        {"position beyond the table", {{"0001", 0}}, {{"0001", 259}}, 8,
         {"FLASH: BytePos 259 from ODX lies outside the ECU block table",
          "FLASH: Block Version Information do not match"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int from = static_cast<int>(seqtest::logMessages(log).size());
        FLASH__vResetIdents();
        FLASH__sOdxBlockVersion = {};
        FLASH__u8SwBlockNo = 0;
        for (auto& b : c.ecu) {
            std::memcpy(FLASH__astSwBlock[FLASH__u8SwBlockNo].acBlockVersion, b.first, 5);
            FLASH__astSwBlock[FLASH__u8SwBlockNo++].u8ProgState = b.second;
        }
        auto& f = FLASH__sOdxBlockVersion;
        for (auto& b : c.file) {
            std::memcpy(f.aacBlockVersion[f.u8BlockCount], b.first, 5);
            f.ai32BytePos[f.u8BlockCount++] = b.second;
        }
        EXPECT_EQ(c.result, FLASH__enCheckBlocksAgainstODX());
        const auto l = seqtest::logMessages(log);
        for (const auto& line : c.lines) EXPECT_GE(seqtest::indexOf(l, line, from), 0) << line;
    }
}

}  // namespace
