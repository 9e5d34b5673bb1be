// The header the package generator puts at the start of every logical block image, from which
// the simulated ECU learns what it was flashed with (a real ECU reads the same facts from its
// new software):
//   bytes 0-3  "KSIM"
//   byte  4    logical block index (0-based, position in 0xF1AB)
//   bytes 5-7  0
//   bytes 8-11 block version (4 ASCII characters)
//   bytes 12-15 software version (4 ASCII characters)
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ecusim {

constexpr size_t kImageHeaderSize = 16;

struct ImageHeader {
    int blockIndex = -1;
    std::string blockVersion;
    std::string softwareVersion;
};

std::vector<uint8_t> makeImageHeader(int blockIndex, const std::string& blockVersion, const std::string& softwareVersion);
// Fails (returns false) when the bytes do not start with a header.
bool parseImageHeader(const uint8_t* data, size_t length, ImageHeader& out);

}  // namespace ecusim
