#include "logging/cnv.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "logging/log.h"

namespace {

struct NibbleTables {
    int high[256];
    int low[256];
    NibbleTables() {
        for (int c = 0; c < 256; ++c) {
            int v = -1;
            if (c >= '0' && c <= '9') v = c - '0';
            else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
            else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
            low[c] = v;
            high[c] = v < 0 ? -1 : v << 4;
        }
    }
};

const NibbleTables& tables() {
    static const NibbleTables t;
    return t;
}

}  // namespace

char* CNV_pcTrimwhitespace(char* text) {
    while (*text != '\0' && std::isspace(static_cast<unsigned char>(*text))) ++text;
    if (*text == '\0') return text;
    char* end = text + std::strlen(text) - 1;
    while (end > text && std::isspace(static_cast<unsigned char>(*end))) --end;
    end[1] = '\0';
    return text;
}

uint32_t CNV_u32ByteArrayToHexStr(const uint8_t* bytes, uint32_t count, char* text) {
    static const char digits[] = "0123456789ABCDEF";
    for (uint32_t i = 0; i < count; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    text[2 * count] = '\0';
    return 0;
}

uint32_t CNV_u32HexStrToByteArray(const char* text, uint8_t* bytes) {
    const NibbleTables& t = tables();
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    uint32_t n = 0;
    for (;;) {
        while (*p != '\0' && t.high[*p] < 0) ++p;
        if (*p == '\0') break;
        const int hi = t.high[*p++];
        while (*p != '\0' && t.low[*p] < 0) ++p;
        if (*p == '\0') break;
        bytes[n++] = static_cast<uint8_t>(hi | t.low[*p++]);
    }
    return n;
}

bool CNV_boDecStrToUInt32(const char* text, uint32_t* value) {
    unsigned int v = 0;
    if (std::sscanf(text, "%u", &v) == 1) {
        *value = v;
        return true;
    }
    LOG_vError("CNV: DecStrToUInt32 >%s<", text);
    return false;
}

bool CNV_boHexStrToUInt32(const char* text, uint32_t* value) {
    unsigned int v = 0;
    if (std::sscanf(text, "%x", &v) == 1) {
        *value = v;
        return true;
    }
    LOG_vError("CNV: HexStrToUInt32 >%s<", text);
    return false;
}

uint8_t CNV_u8BcdToDec(uint8_t bcd) { return static_cast<uint8_t>((bcd & 0x0F) + (bcd >> 4) * 10); }

uint8_t CNV_u8DecToBcd(uint8_t value) {
    if (value <= 99) return static_cast<uint8_t>(((value / 10) << 4) | (value % 10));
    LOG_vError("CNV: DecToBcd Invalid Value >%d<", value);
    return 0x99;
}

void CNV_vDecToHexStr(uint32_t value, char* text) {
    if (value & 0xFF000000u) std::snprintf(text, 9, "%08X", value);
    else if (value & 0x00FF0000u) std::snprintf(text, 9, "%06X", value);
    else if (value & 0x0000FF00u) std::snprintf(text, 9, "%04X", value);
    else std::snprintf(text, 9, "%02X", value);
}
