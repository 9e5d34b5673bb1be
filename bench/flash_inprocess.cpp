// Full in-process flash of a package with one 16 MiB block (plus a driver and a small block)
// against a scripted ECU bound as the transport: wall time and peak memory of the flasher
// side, beside the floor of copying and digesting the same bytes. Prints figures only.
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "flasher/flash.h"
#include "flasher/flash_seq.h"
#include "tests/flasher/seq_fake_ecu.h"
#include "tests/flasher/seq_package.h"
#include "tests/flasher/seq_support.h"
#include "uds/uds.h"
#include "uds/uds_internal.h"

using namespace seqtest;

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

FakeEcu ecu;

}  // namespace

int main() {
    TempDir dir;
    const std::string root = dir.path + "/datflash";
    mkdir(root.c_str(), 0755);

    Package p = standardPackage();
    p.blocks[1].data.clear();
    p.blocks[1].streamedSize = kBlockSize;
    writePackage(root, "FL_5G0920861A_0220.odx-f", p);

    ecu.dids = {{0xF187, {'5', 'G', '0', '9', '2', '0', '8', '6', '1', 'A'}},
                {0xF189, {'0', '2', '1', '0'}},
                {0xF1D5, {0, 0, 1, 2, 3, 4}},
                {0xF1DF, {0x40}},
                {0xF1AB, {'0', '0', '0', '1', '0', '0', '0', '1'}},
                {0xF15B, Bytes(20, 0)}};
    ecu.afterReset = {{0xF189, {'0', '2', '2', '0'}}, {0xF1AB, {'0', '0', '0', '2', '0', '0', '0', '2'}}};
    ecu.storeData = false;

    if (initOptions({"--datflash_path", root, "--tester_serial_number", "BENCH1", "--p3_client", "1"},
                    dir.path + "/log.txt") != 0) {
        return 1;
    }
    LOG_SetVerbosity(4);  // info level, as a station runs
    auto& transport = ScriptedTransport::instance();
    transport.record = false;
    transport.respond = [](const Bytes& rq) { return ecu.respond(rq); };
    UDS_vSetTransportOverride(ScriptedTransport::table());
    // The fixed waits (update execution, error banner) are not flasher work.
    UDS__vSetSleepHookForTest([](uint32_t) {});
    FLASH__vSetSleepHookForTest([](long) {});

    const long before = peakKiB();
    const auto start = std::chrono::steady_clock::now();
    int result = -1;
    if (FLASH_boInit()) {
        result = FLASH_iMain();
        FLASH_vDeinit();
    }
    const double flashSeconds = secondsSince(start);
    const long after = peakKiB();
    LOG_vFlush();

    // Floor: copy the same bytes once and digest them once (FNV-1a).
    std::vector<uint8_t> src(kBlockSize), dst(kBlockSize);
    for (uint32_t i = 0; i < kBlockSize; ++i) src[i] = static_cast<uint8_t>(i * 7 + 1);
    const auto floorStart = std::chrono::steady_clock::now();
    std::memcpy(dst.data(), src.data(), kBlockSize);
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : dst) h = (h ^ b) * 1099511628211ull;
    const double floorSeconds = secondsSince(floorStart);

    std::printf("flash_inprocess: result %d, %llu bytes downloaded, %zu requests\n", result,
                static_cast<unsigned long long>(ecu.bytesReceived), ecu.requests.size());
    std::printf("  flash run wall time:       %8.3f s (%.1f MiB/s)\n", flashSeconds,
                ecu.bytesReceived / 1048576.0 / flashSeconds);
    std::printf("  peak RSS before / after:   %8ld / %ld KiB (block %u KiB, inline hex text %u KiB)\n", before, after,
                kBlockSize / 1024, 2 * kBlockSize / 1024);
    std::printf("  floor memcpy + digest:     %8.3f s (digest %016llx)\n", floorSeconds,
                static_cast<unsigned long long>(h));
    return result == 0 ? 0 : 1;
}
