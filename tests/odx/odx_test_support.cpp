#include "odx/odx_test_support.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <zip.h>

#include <fstream>
#include <sstream>

#include "flasher/cfg.h"
#include "logging/log.h"
#include "odx/pdx.h"

namespace odxtest {

namespace {
// Log file of the active capture; the option parser switches the logger, configure() restores it.
std::string activeCapture;
}

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "kestrum_odx_XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string fixture(const std::string& name) {
    const std::string text = readFile(fs::path(KESTRUM_TEST_FIXTURES) / "odx" / name);
    EXPECT_FALSE(text.empty()) << "missing fixture " << name;
    return text;
}

std::string replaceOnce(std::string text, const std::string& from, const std::string& to) {
    const size_t pos = text.find(from);
    EXPECT_NE(pos, std::string::npos) << "not in text: " << from;
    if (pos == std::string::npos) return text;
    EXPECT_EQ(text.find(from, pos + 1), std::string::npos) << "more than once in text: " << from;
    return text.replace(pos, from.size(), to);
}

void writeZip(const fs::path& archive, const std::vector<ZipEntry>& entries) {
    fs::create_directories(archive.parent_path());
    int err = 0;
    zip_t* za = zip_open(archive.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
    ASSERT_NE(za, nullptr);
    for (const auto& e : entries) {
        if (!e.name.empty() && e.name.back() == '/') {
            ASSERT_GE(zip_dir_add(za, e.name.c_str(), ZIP_FL_ENC_UTF_8), 0) << e.name;
            continue;
        }
        zip_source_t* src = zip_source_buffer(za, e.content.data(), e.content.size(), 0);
        ASSERT_NE(src, nullptr);
        if (zip_file_add(za, e.name.c_str(), src, ZIP_FL_ENC_UTF_8) < 0) {
            zip_source_free(src);
            FAIL() << "zip_file_add " << e.name;
        }
    }
    ASSERT_EQ(zip_close(za), 0) << zip_strerror(za);
}

void configure(const fs::path& datflash, const std::vector<std::string>& extra) {
    // The option dump goes nowhere; an active capture is restored below.
    std::vector<std::string> args = {"kestrum_flasher", "--datflash_path", datflash.string(), "--logfile",
                                     "/dev/null"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // The option parser may log its dump; only its result matters here.
    ASSERT_EQ(CFG_enInit(static_cast<int>(args.size()), argv.data(), "test"), 0);
    PDX__vResetForTest();
    LOG_SetFilename(activeCapture);
    if (!activeCapture.empty()) LOG_SetVerbosity(1);
}

LogCapture::LogCapture() : savedLevel_(LOG_iGetVerbosity()) {
    activeCapture = (dir_.path() / "log.txt").string();
    LOG_SetFilename(activeCapture);
    LOG_SetVerbosity(1);
}

LogCapture::~LogCapture() {
    activeCapture.clear();
    LOG_SetFilename("");
    LOG_SetVerbosity(savedLevel_);
}

std::string LogCapture::text() {
    LOG_vFlush();
    return readFile(dir_.path() / "log.txt");
}

std::vector<std::string> LogCapture::lines(const std::string& prefix) {
    std::vector<std::string> out;
    std::istringstream in(text());
    std::string line;
    const std::string tag = " [KSTRMF] ";
    while (std::getline(in, line)) {
        const size_t pos = line.find(tag);
        if (pos == std::string::npos) continue;
        std::string msg = line.substr(pos + tag.size());
        if (msg.compare(0, prefix.size(), prefix) == 0) out.push_back(msg);
    }
    return out;
}

bool LogCapture::has(const std::string& message) {
    for (const auto& l : lines()) {
        if (l == message) return true;
    }
    return false;
}

void LogCapture::clear() {
    LOG_SetFilename((dir_.path() / "log.txt").string());
}

}  // namespace odxtest

#include "flasher/flash_internal.h"

namespace odxtest {

void OdxTest::SetUp() {
    FLASH__enKeyType = 2;
    configure(root());
    ODX_vInit();
}

void OdxTest::TearDown() {
    ODX_vDeinit();
    FLASH__enKeyType = 2;
}

bool OdxTest::open(const std::string& doc, const std::string& name, const std::vector<std::string>& extra) {
    writeFile(root() / "layers" / "EV_ClusterUDS_001.odx", fixture("layer_cluster.odx"));
    const fs::path file = packageDir() / name;
    writeFile(file, doc);
    configure(root(), extra);
    return ODX_boOpenOdxFile(file.string(), rec);
}

bool OdxTest::prepare(const std::string& doc, const std::string& name, const std::vector<std::string>& extra) {
    return open(doc, name, extra) && ODX_boPrepareOdxCommandList();
}

std::vector<ODX_tstFlashcmdParam> commandList() {
    std::vector<ODX_tstFlashcmdParam> out;
    for (int i = 0; i < 1000; ++i) {
        ODX_tstFlashcmdParam c;
        c.enFlashCmd = ODX_CMD_ERROR;
        ODX_vGetNextOdxCommand(&c);
        out.push_back(c);
        if (c.enFlashCmd == ODX_CMD_FINISH || c.enFlashCmd == ODX_CMD_ERROR) break;
    }
    return out;
}

}  // namespace odxtest
