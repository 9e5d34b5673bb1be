// The simulator's sample package, read by the flash data readers: both sides must agree on
// the ODX-F structure, or every end-to-end run would fail for reasons of its own.
#include <gtest/gtest.h>

#include "odx/odx.h"
#include "odx/odx_test_support.h"
#include "sim/pkggen/pkggen.h"

using namespace odxtest;

namespace {
using SamplePackageTest = OdxTest;

std::string hexOf(const uint8_t* data, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 15];
    }
    return out;
}
}  // namespace

TEST_F(SamplePackageTest, CommandListMatchesTheGeneratedPackage) {
    ecusim::pkggen::PackageOptions options;
    options.outDir = root().string();
    const ecusim::pkggen::PackageResult package = ecusim::pkggen::generate(options);
    ASSERT_EQ(package.blocks.size(), 3u);

    ODX_UnpackAllPDX(root().string());
    ASSERT_TRUE(ODX_boOpenOdxFile_ByPattern(root().string(), "^" + package.odxName + "$", rec));
    ASSERT_TRUE(ODX_boPrepareOdxCommandList());
    EXPECT_EQ(rec.u8BlockCount, 2);
    EXPECT_STREQ(rec.acEcuVersion, options.softwareVersion.c_str());
    ODX_tstSA2KeyParam key{};
    EXPECT_TRUE(ODX_boGetSA2Key(&key));

    const auto cmds = commandList();
    ASSERT_EQ(cmds.size(), 10u);
    // driver: download + check; blocks 0 and 1: erase, download, check.
    const size_t downloads[3] = {0, 3, 6};
    for (size_t b = 0; b < 3; ++b) {
        SCOPED_TRACE(package.blocks[b].id);
        const auto& dl = cmds[downloads[b]];
        const auto& check = cmds[downloads[b] + 1];
        ASSERT_EQ(dl.enFlashCmd, ODX_CMD_DOWNLOAD);
        EXPECT_EQ(dl.u32MemAddress, package.blocks[b].address);
        EXPECT_EQ(dl.u32MemSize, package.blocks[b].size);
        ASSERT_EQ(check.enFlashCmd, ODX_CMD_CHECK_MEMORY);
        EXPECT_EQ(hexOf(check.pu8Data, check.u16SigLength), package.blocks[b].sha256);
        if (dl.boIsFile) {
            const fs::path data(reinterpret_cast<const char*>(dl.pu8Data));
            ASSERT_TRUE(fs::is_regular_file(data));
            EXPECT_EQ(fs::file_size(data), ODX_u32TransferSize(dl));
        }
    }
    EXPECT_EQ(cmds[0].u8BlockNo, 255);
    EXPECT_EQ(cmds[2].enFlashCmd, ODX_CMD_ERASE);
    EXPECT_EQ(cmds[2].u8BlockNo, 0);
    EXPECT_EQ(cmds[5].u8BlockNo, 1);
    EXPECT_TRUE(cmds[6].boIsFile);
    EXPECT_EQ(cmds[8].enFlashCmd, ODX_CMD_UPDATE_EXECUTION);
    EXPECT_EQ(cmds[9].enFlashCmd, ODX_CMD_FINISH);
    EXPECT_TRUE(log.lines("ODX: Unable to find Byte Pos").empty());
}
