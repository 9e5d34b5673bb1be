// Conversions on arbitrary text: hex/decimal parsing, trimming, BCD and hex printing.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "logging/cnv.h"
#include "logging/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool quiet = (LOG_SetVerbosity(7), true);
    (void)quiet;
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.c_str();  // stop at the first NUL, as the callers' C strings do

    std::vector<uint8_t> bytes(text.size() / 2 + 1);
    const uint32_t n = CNV_u32HexStrToByteArray(text.c_str(), bytes.data());
    if (n > text.size() / 2) __builtin_trap();

    std::vector<char> hex(2 * n + 1);
    CNV_u32ByteArrayToHexStr(bytes.data(), n, hex.data());
    if (std::strlen(hex.data()) != 2 * n) __builtin_trap();

    uint32_t value = 0;
    CNV_boDecStrToUInt32(text.c_str(), &value);
    CNV_boHexStrToUInt32(text.c_str(), &value);
    char out[9];
    CNV_vDecToHexStr(value, out);

    std::vector<char> writable(text.begin(), text.end());
    writable.push_back('\0');
    const char* trimmed = CNV_pcTrimwhitespace(writable.data());
    if (trimmed < writable.data() || trimmed > writable.data() + text.size()) __builtin_trap();

    if (size > 0) {
        const uint8_t b = data[0];
        CNV_u8BcdToDec(b);
        if (b <= 99 && CNV_u8BcdToDec(CNV_u8DecToBcd(b)) != b) __builtin_trap();
    }
    return 0;
}
