// Full in-process flash of the sample package with one 16 MiB block against the simulated
// ECU (in-process front-end): wall time and peak memory of the run, once with the block in a
// data file beside the document and once as hex text inside the document, beside the floor of
// copying and digesting (SHA-256, as the ECU's check does) the same bytes. Figures only.
//
// Each variant runs in a fresh process (this program started again with the variant's name)
// so that its peak memory is its own.
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "flasher/flash.h"
#include "flasher/flash_seq.h"
#include "sim/inprocess.h"
#include "sim/pkggen/pkggen.h"
#include "sim/sha256.h"
#include "tests/flasher/seq_support.h"
#include "uds/uds.h"
#include "uds/uds_internal.h"

extern char** environ;

namespace {

constexpr uint32_t kBlockSize = 16u * 1024u * 1024u;

long peakKiB() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

double secondsSince(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// The package is written by the parent, so the generator's memory is not counted here.
int runVariant(const std::string& variant, const std::string& datflash) {
    if (seqtest::initOptions({"--datflash_path", datflash, "--tester_serial_number", "BENCH1"},
                             datflash + "/../log_" + variant + ".txt") != 0) {
        return 1;
    }
    LOG_SetVerbosity(4);  // info level, as a station runs
    ecusim::EcuConfig ecu;
    ecu.seedForTests = 0x12345678;
    UDS_vSetTransportOverride(ecusim::InProcess::start(ecu));
    // The fixed waits (update execution, error banner) are not work of the flasher.
    UDS__vSetSleepHookForTest([](uint32_t) {});
    FLASH__vSetSleepHookForTest([](long) {});

    const long before = peakKiB();
    const auto start = std::chrono::steady_clock::now();
    int result = -1;
    if (FLASH_boInit()) {
        result = FLASH_iMain();
        FLASH_vDeinit();
    }
    const double seconds = secondsSince(start);
    const long after = peakKiB();
    uint64_t received = 0;
    for (const auto& d : ecusim::InProcess::model().report().downloads) received += d.received;
    ecusim::InProcess::stop();
    LOG_vFlush();
    std::printf("  %-6s block: result %d, %6.2f MiB downloaded, wall %7.3f s (%6.1f MiB/s), peak RSS %ld KiB "
                "(%ld KiB before the run)\n",
                variant.c_str(), result, received / 1048576.0, seconds, received / 1048576.0 / seconds, after, before);
    return result == 0 ? 0 : 1;
}

int generatePackage(const std::string& variant, const std::string& datflash) {
    ecusim::pkggen::PackageOptions options;
    options.outDir = datflash;
    if (variant == "inline") {
        options.inlineSize = kBlockSize;
    } else {
        options.externSize = kBlockSize;
    }
    ecusim::pkggen::generate(options);
    return 0;
}

// Runs this program again with the arguments; its exit code.
int spawnSelf(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv.data(), environ) != 0) return 1;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

// Package generation and each run happen in processes of their own: the peak memory of a
// process is kept across exec, so the parent must never hold a package in memory.
int spawnVariant(const char* self, const std::string& variant, const std::string& base) {
    const std::string datflash = base + "/" + variant;
    if (spawnSelf({self, "generate", variant, datflash}) != 0) return 1;
    return spawnSelf({self, "run", variant, datflash});
}

int main(int argc, char** argv) {
    if (argc > 3 && std::strcmp(argv[1], "generate") == 0) return generatePackage(argv[2], argv[3]);
    if (argc > 3) return runVariant(argv[2], argv[3]);
    seqtest::TempDir dir;

    std::printf("flash_inprocess: sample package with a %u KiB block, simulated ECU in process\n", kBlockSize / 1024);
    std::fflush(stdout);
    int failed = spawnVariant(argv[0], "extern", dir.path);
    failed |= spawnVariant(argv[0], "inline", dir.path);

    // Floor: copy the same bytes once and digest them once.
    std::vector<uint8_t> src(kBlockSize), dst(kBlockSize);
    for (uint32_t i = 0; i < kBlockSize; ++i) src[i] = static_cast<uint8_t>(i * 7 + 1);
    const auto floorStart = std::chrono::steady_clock::now();
    std::memcpy(dst.data(), src.data(), kBlockSize);
    const auto digest = ecusim::Sha256::of(dst);
    const double floorSeconds = secondsSince(floorStart);
    std::printf("  floor: memcpy + SHA-256 of the block: %7.3f s (%6.1f MiB/s, digest %02x%02x..)\n", floorSeconds,
                kBlockSize / 1048576.0 / floorSeconds, digest[0], digest[1]);
    return failed;
}
