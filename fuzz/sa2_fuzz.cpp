// The SA2 interpreter with arbitrary programs and seeds: it must end within its instruction
// bound for every program the ODX-F reader can hand it (up to 4096 bytes), and it must agree
// with the simulated ECU's independently written interpreter.
#include <cstdint>
#include <vector>

#include "logging/log.h"
#include "sim/sa2.h"
#include "uds/uds_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = (LOG_SetFilename("/dev/null"), LOG_SetVerbosity(1), true);
    (void)quiet;
    if (size < 4) return 0;
    const uint32_t seed = static_cast<uint32_t>(data[0]) << 24 | static_cast<uint32_t>(data[1]) << 16 |
                          static_cast<uint32_t>(data[2]) << 8 | data[3];
    const uint8_t* program = data + 4;
    const uint32_t length = static_cast<uint32_t>(size - 4);

    // The interpreter reads only the given bytes: run it on an exact-size heap copy.
    const std::vector<uint8_t> copy(program, program + length);
    bool ok = false;
    const uint32_t key = UDS__u32SA1Job(seed, copy.empty() ? nullptr : copy.data(), length, &ok);
    if (length <= 4096 && !ok) __builtin_trap();

    const ecusim::Sa2Result expected = ecusim::sa2Compute(seed, copy, UDS__SA2_MAX_STEPS);
    if (ok && expected.completed && key != expected.key) __builtin_trap();
    LOG_vFlush();
    return 0;
}
