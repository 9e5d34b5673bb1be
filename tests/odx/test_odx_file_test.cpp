// kestrum_flasher --test_odx_file run as a child process against a flash-file tree.
#include <gtest/gtest.h>

#include <sstream>

#include "odx/odx_test_support.h"
#include "support/process_runner.h"

using namespace odxtest;

namespace {

ProcessResult runFlasher(const std::vector<std::string>& args) {
    std::vector<std::string> all = {KESTRUM_BINARY_DIR "/kestrum_flasher"};
    all.insert(all.end(), args.begin(), args.end());
    ProcessResult r = RunProcess(all, "");
    EXPECT_FALSE(r.timedOut) << "kestrum_flasher did not finish in time";
    return r;
}

class TestOdxFileRun : public ::testing::Test {
protected:
    fs::path root() const { return tmp.path() / "datflash"; }
    ProcessResult run(const std::string& name) {
        return runFlasher({"--test_odx_file", name, "--datflash_path", root().string()});
    }
    TempDir tmp;
};

}  // namespace

TEST_F(TestOdxFileRun, DumpsTheCommandListOfAFileInAnArchive) {
    writeZip(root() / "incoming" / "Cluster.pdx",
             {{"FL_5G0920320A_0221.odx-f", fixture("flash_session.odx-f")},
              {"EV_ClusterUDS_001.odx", fixture("layer_cluster.odx")}});
    const ProcessResult r = run("FL_5G0920320A_0221.odx-f");
    EXPECT_EQ(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find(" [KSTRMF] FLASH: Test File okay\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" [KSTRMF] ODX: 1) DOWNLOAD\n"), std::string::npos);
    EXPECT_NE(r.out.find(" [KSTRMF] ODX: 10)  FINISH\n"), std::string::npos);
    EXPECT_NE(r.out.find(" [KSTRMF] ODX: Block 00 Version 0221 BytePos:11 (OI_VWLogicSoftwBlockVersi_App)\n"),
              std::string::npos);
    // Nothing besides the log: no library warnings on stdout or stderr.
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_NE(line.find(" [KSTRMF] "), std::string::npos) << line;
    }
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(fs::is_regular_file(root() / "Unpacked" / "Cluster.pdx" / "FL_5G0920320A_0221.odx-f"));
}

TEST_F(TestOdxFileRun, FileProblemsEndWithExitCode4) {
    writeZip(root() / "Cluster.pdx", {{"FL_5G0920320A_0221.odx-f", fixture("flash_session.odx-f")}});
    writeFile(root() / "broken" / "FL_5G0920320A_0222.odx-f", "<ODX><FLASH>");
    writeFile(root() / "copy" / "FL_5G0920320A_0221.odx-f", fixture("flash_session.odx-f"));
    struct Case {
        const char* name;
        const char* line;
    } cases[] = {
        {"FL_NOTHERE.*", " [KSTRMF] ODX: Did not find any files\n"},
        {"FL_5G0920320A_0221.odx-f", " [KSTRMF] ODX: Found more than one file\n"},
        {"FL_5G0920320A_0222.odx-f", " [KSTRMF] ODX: Cannot open ODX File \""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ProcessResult r = run(c.name);
        EXPECT_EQ(r.exitCode, 4);
        EXPECT_NE(r.out.find(c.line), std::string::npos) << r.out;
        EXPECT_EQ(r.out.find("FLASH: Test File okay"), std::string::npos);
    }
}
