#include "sim/image_header.h"

#include <cstring>

namespace ecusim {

std::vector<uint8_t> makeImageHeader(int blockIndex, const std::string& blockVersion, const std::string& softwareVersion) {
    std::vector<uint8_t> h(kImageHeaderSize, 0);
    std::memcpy(h.data(), "KSIM", 4);
    h[4] = static_cast<uint8_t>(blockIndex);
    for (size_t i = 0; i < 4; ++i) {
        h[8 + i] = i < blockVersion.size() ? static_cast<uint8_t>(blockVersion[i]) : ' ';
        h[12 + i] = i < softwareVersion.size() ? static_cast<uint8_t>(softwareVersion[i]) : ' ';
    }
    return h;
}

bool parseImageHeader(const uint8_t* data, size_t length, ImageHeader& out) {
    if (length < kImageHeaderSize || std::memcmp(data, "KSIM", 4) != 0) return false;
    out.blockIndex = data[4];
    out.blockVersion.assign(reinterpret_cast<const char*>(data + 8), 4);
    out.softwareVersion.assign(reinterpret_cast<const char*>(data + 12), 4);
    return true;
}

}  // namespace ecusim
