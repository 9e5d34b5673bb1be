// Shared setup of the fuzz targets: one private temporary directory per process (removed at
// exit), the flasher's configuration with the log sent to /dev/null, and small file helpers.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "flasher/cfg.h"
#include "logging/log.h"

namespace fuzzsupport {

namespace fs = std::filesystem;

// Removes the process's temporary directory; registered with atexit.
inline char* TempRootBuffer() {
    static char root[64] = {};
    return root;
}

inline void RemoveTempRoot() {
    std::error_code ec;
    if (TempRootBuffer()[0] != '\0') fs::remove_all(TempRootBuffer(), ec);
}

// A fresh directory below /tmp for this process, created on first use.
inline fs::path TempRoot() {
    char* root = TempRootBuffer();
    if (root[0] == '\0') {
        std::snprintf(root, 64, "/tmp/kestrum_fuzz_XXXXXX");
        if (mkdtemp(root) == nullptr) std::abort();
        std::atexit(RemoveTempRoot);
    }
    return fs::path(root);
}

// Parses the flasher options (plus extra), then points the logger at /dev/null with every
// level enabled, so the formatting of each line still runs but nothing piles up. Targets end
// each input with LOG_vFlush: lines still queued for the writer thread would look like leaks
// to libFuzzer's malloc/free balance and start a slow leak scan after nearly every input.
inline void Configure(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"kestrum_flasher", "--logfile", "/dev/null"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    if (CFG_enInit(static_cast<int>(args.size()), argv.data(), "fuzz") != 0) std::abort();
    LOG_SetFilename("/dev/null");
    LOG_SetVerbosity(1);
}

inline void WriteFile(const fs::path& path, const uint8_t* data, size_t size) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) std::abort();
}

inline void WriteFile(const fs::path& path, const std::string& text) {
    WriteFile(path, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Text of a file of the source tree this target was built from (path relative to its top).
inline std::string SourceFile(const std::string& path) {
    std::ifstream in(std::string(KESTRUM_SOURCE_DIR) + "/" + path, std::ios::binary);
    if (!in) std::abort();
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Text of tests/fixtures/<name>.
inline std::string Fixture(const std::string& name) { return SourceFile("tests/fixtures/" + name); }

// Reads every byte of a buffer so that ASan checks its whole extent.
inline uint8_t Touch(const uint8_t* data, size_t size) {
    uint8_t x = 0;
    for (size_t i = 0; i < size; ++i) x ^= data[i];
    return x;
}

}  // namespace fuzzsupport

// A small quarantine: the targets allocate many short-lived 64 KiB buffers, and fresh pages
// for each of them cost more than the run itself. Use-after-free is still caught for
// recently freed memory.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=16"; }
