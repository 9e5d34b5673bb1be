// Helpers of the flash data tests: a temporary flash-file tree, fixture texts, PDX archives
// built on the fly, the flasher's configuration and a capture of the log.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace odxtest {

namespace fs = std::filesystem;

// A fresh directory below the system's temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Text of tests/fixtures/odx/<name>.
std::string fixture(const std::string& name);
// Replaces the one occurrence of from in text (the test fails if it is not there exactly once).
std::string replaceOnce(std::string text, const std::string& from, const std::string& to);
void writeFile(const fs::path& path, const std::string& content);
std::string readFile(const fs::path& path);

// One archive entry: a name ending in "/" is a directory entry.
struct ZipEntry {
    std::string name;
    std::string content;
};
// Writes a zip archive with the entries in the order given.
void writeZip(const fs::path& archive, const std::vector<ZipEntry>& entries);

// Sets the flasher's options: the datflash path and any further arguments.
void configure(const fs::path& datflash, const std::vector<std::string>& extra = {});

// Captures the flasher log (all levels) in a file for the life of the object.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    // Everything logged so far.
    std::string text();
    // True if a line carries exactly this message (after the header).
    bool has(const std::string& message);
    // Messages of all lines, in order, that begin with prefix.
    std::vector<std::string> lines(const std::string& prefix = "");
    void clear();

private:
    TempDir dir_;
    int savedLevel_;
};

}  // namespace odxtest

#include <gtest/gtest.h>

#include "odx/odx.h"

namespace odxtest {

// Name the ODX-F fixture gets in the package directory: software version 0221.
inline const char* const kOdxName = "FL_5G0920320A_0221.odx-f";

// A flash-file tree in a temporary directory with the flash data module started and the
// log captured; the module and the sequencer state it uses are reset after each test.
class OdxTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    fs::path root() const { return tmp.path() / "datflash"; }
    fs::path packageDir() const { return root() / "Unpacked" / "Cluster.pdx"; }
    // Writes doc as name into the package directory (and the layer file beside the tree),
    // sets the options (datflash path plus extra) and opens the document.
    bool open(const std::string& doc, const std::string& name = kOdxName, const std::vector<std::string>& extra = {});
    // open() followed by the command list; true if both succeeded.
    bool prepare(const std::string& doc, const std::string& name = kOdxName,
                 const std::vector<std::string>& extra = {});

    TempDir tmp;
    LogCapture log;
    ODX__tsEcuVer rec{};
};

// Every command of the list, read through the cursor until FINISH or ERROR.
std::vector<ODX_tstFlashcmdParam> commandList();

}  // namespace odxtest
