// File search by regular expression and PDX unpacking.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "odx/odx.h"
#include "odx/ofman.h"
#include "odx/pdx.h"
#include "odx/odx_test_support.h"

using namespace odxtest;

namespace {

using FileSearchTest = OdxTest;
using UnpackTest = OdxTest;

// Flips one byte inside the stored data of the named entry of a zip archive.
void corruptEntry(const fs::path& archive, const std::string& name) {
    std::string bytes = readFile(archive);
    size_t pos = 0;
    while ((pos = bytes.find(std::string("PK\x03\x04", 4), pos)) != std::string::npos) {
        const auto u16 = [&](size_t at) {
            return static_cast<size_t>(static_cast<uint8_t>(bytes[at])) |
                   (static_cast<size_t>(static_cast<uint8_t>(bytes[at + 1])) << 8);
        };
        const size_t nameLen = u16(pos + 26);
        const size_t extraLen = u16(pos + 28);
        if (bytes.compare(pos + 30, nameLen, name) == 0) {
            bytes[pos + 30 + nameLen + extraLen + 3] ^= 0x5A;
            writeFile(archive, bytes);
            return;
        }
        pos += 4;
    }
    FAIL() << "entry not found: " << name;
}

}  // namespace

TEST_F(FileSearchTest, WholeNameCaseInsensitiveRecursive) {
    writeFile(root() / "a.PDX", "");
    writeFile(root() / "x" / "y" / "b.pdx", "");
    writeFile(root() / "c.pdx.bak", "");
    fs::create_directories(root() / "dir.pdx");
    OFMAN_vInit();
    ASSERT_EQ(OFMAN_u16FindFiles(root().string(), ".*.pdx$"), 2);
    std::vector<std::string> found = {OFMAN_strGetODXFilePath(0), OFMAN_strGetODXFilePath(1)};
    std::sort(found.begin(), found.end());
    EXPECT_EQ(found, (std::vector<std::string>{(root() / "a.PDX").string(), (root() / "x" / "y" / "b.pdx").string()}));
    EXPECT_TRUE(log.has("OFMAN: Searching for \".*.pdx$\" Files in \"" + root().string() + "\""));
    EXPECT_TRUE(log.has("OFMAN: Found: b.pdx"));

    EXPECT_EQ(OFMAN_strGetODXFilePath(2), "");
    EXPECT_TRUE(log.has("OFMAN: Get Path from invalid index 2"));

    // A search that cannot run is a logged error with no result.
    EXPECT_EQ(OFMAN_u16FindFiles((root() / "missing").string(), ".*"), 0);
    EXPECT_EQ(OFMAN_u16FindFiles(root().string(), "(unclosed"), 0);
    EXPECT_EQ(OFMAN_strGetODXFilePath(0), "");
    OFMAN_vDeinit();
}

TEST_F(UnpackTest, UnpacksOnceIntoThePackageDirectory) {
    writeZip(root() / "deep" / "Cluster.pdx", {{"odx/", ""},
                                               {"odx/FL_5G0920320A_0221.odx-f", "<ODX/>"},
                                               {"empty.bin", ""},
                                               {"data.bin", std::string(200000, 'x')}});
    ODX_UnpackAllPDX(root().string());
    const fs::path pkg = root() / "Unpacked" / "Cluster.pdx";
    EXPECT_EQ(readFile(pkg / "odx" / "FL_5G0920320A_0221.odx-f"), "<ODX/>");
    EXPECT_TRUE(fs::is_regular_file(pkg / "empty.bin"));
    EXPECT_EQ(fs::file_size(pkg / "empty.bin"), 0u);
    EXPECT_EQ(fs::file_size(pkg / "data.bin"), 200000u);
    EXPECT_EQ((fs::status(pkg / "data.bin").permissions() & fs::perms::all),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
    EXPECT_FALSE(fs::exists(root() / "Unpacked" / "Cluster.pdx.unpacking"));
    EXPECT_TRUE(log.has("PDX: Extracting " + (root() / "deep" / "Cluster.pdx").string()));
    EXPECT_TRUE(log.has("ODX: sync file system: 0"));

    log.clear();
    ODX_UnpackAllPDX(root().string());
    EXPECT_TRUE(log.has("PDX: Already unpacked: " + pkg.string()));
    EXPECT_TRUE(log.lines("PDX: Extracting").empty());
}

TEST_F(UnpackTest, PackageNamesAndEmptyRoot) {
    EXPECT_EQ(PDX__MakePackageRootName("/x/y/A.pdx"), root() / "Unpacked" / "A.pdx");
    EXPECT_EQ(PDX__MakePackageRootName(""), root() / "Unpacked" / "Fallback");
    EXPECT_EQ(PDX__MakePackageRootName("/x/y/"), root() / "Unpacked" / "Fallback");
    configure(root().string() + "/");
    EXPECT_STREQ(PDX_GetRootPath(), (root() / "Unpacked").c_str());

    fs::create_directories(root());
    ODX_UnpackAllPDX(root().string());
    EXPECT_TRUE(log.has("ODX: sync file system: 0"));
    EXPECT_FALSE(fs::exists(root() / "Unpacked"));
}

TEST_F(UnpackTest, DirectoryEntriesAfterTheirFilesStillFailAsBefore) {
    writeZip(root() / "Late.pdx", {{"sub/x.bin", "abc"}, {"sub/", ""}, {"top.bin", "t"}});
    EXPECT_TRUE(PDX_boUnpack((root() / "Late.pdx").string()));
    const fs::path pkg = root() / "Unpacked" / "Late.pdx";
    EXPECT_TRUE(fs::is_directory(pkg / "sub"));
    EXPECT_FALSE(fs::exists(pkg / "sub" / "x.bin"));
    EXPECT_EQ(readFile(pkg / "top.bin"), "t");
    EXPECT_EQ(log.lines("PDX: can't open new file ").size(), 1u);
}

TEST_F(UnpackTest, EntriesLeavingThePackageDirectoryAreRefused) {
    const std::string absolute = "/tmp/kestrum_zipslip_" + std::to_string(getpid()) + ".txt";
    writeZip(root() / "in" / "Evil.pdx", {{"../../evil.txt", "x"},
                                          {"ok/", ""},
                                          {"ok/../../../evil2.txt", "x"},
                                          {absolute, "x"},
                                          {"ok/fine.txt", "fine"},
                                          {std::string(5000, 'n'), "x"}});
    EXPECT_TRUE(PDX_boUnpack((root() / "in" / "Evil.pdx").string()));
    EXPECT_EQ(readFile(root() / "Unpacked" / "Evil.pdx" / "ok" / "fine.txt"), "fine");
    EXPECT_FALSE(fs::exists(root() / "evil.txt"));
    EXPECT_FALSE(fs::exists(tmp.path() / "evil.txt"));
    EXPECT_FALSE(fs::exists(root() / "evil2.txt"));
    EXPECT_FALSE(fs::exists(root() / "Unpacked" / "evil2.txt"));
    EXPECT_FALSE(fs::exists(absolute));
    fs::remove(absolute);
    EXPECT_TRUE(log.has("PDX: refusing entry outside the package directory: ../../evil.txt"));
    EXPECT_TRUE(log.has("PDX: refusing entry outside the package directory: " + absolute));
    EXPECT_EQ(log.lines("PDX: refusing entry").size(), 3u);
    // A name too long for a path is refused, not cut to some other name.
    EXPECT_EQ(log.lines("PDX: path of entry 5 too long").size(), 1u);
}

TEST_F(UnpackTest, FailedExtractionLeavesNoPackageDirectory) {
    const fs::path archive = root() / "Broken.pdx";
    writeZip(archive, {{"a.bin", std::string(100000, 'a')}, {"b.bin", std::string(100000, 'b')}});
    corruptEntry(archive, "b.bin");
    EXPECT_FALSE(PDX_boUnpack(archive.string()));
    EXPECT_FALSE(fs::exists(root() / "Unpacked" / "Broken.pdx"));
    EXPECT_FALSE(fs::exists(root() / "Unpacked" / "Broken.pdx.unpacking"));
    EXPECT_TRUE(log.has("PDX: extraction of " + archive.string() + " failed, nothing unpacked"));

    // The next run tries again instead of taking the half-extracted archive as done.
    log.clear();
    EXPECT_FALSE(PDX_boUnpack(archive.string()));
    EXPECT_TRUE(log.has("PDX: Extracting " + archive.string()));

    writeFile(root() / "NoZip.pdx", "this is not a zip archive");
    log.clear();
    EXPECT_FALSE(PDX_boUnpack((root() / "NoZip.pdx").string()));
    EXPECT_TRUE(log.has("PDX: can't open zip archive: Not a zip archive"));
    EXPECT_FALSE(fs::exists(root() / "Unpacked" / "NoZip.pdx"));

    // Anything already at the package path counts as unpacked.
    writeFile(root() / "Unpacked" / "Other.pdx", "");
    EXPECT_TRUE(PDX_boUnpack((root() / "x" / "Other.pdx").string()));
    EXPECT_TRUE(log.has("PDX: Already unpacked: " + (root() / "Unpacked" / "Other.pdx").string()));
}
