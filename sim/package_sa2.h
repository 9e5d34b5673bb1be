// Takes the SA2 program out of a flash package (a PDX archive or an ODX-F document) with a
// minimal text search of its own: the FW-SIGNATURE of the SECURITY whose SECURITY-METHOD is
// "SA2". The simulator needs it to check keys; it does not use the flasher's ODX reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ecusim {

bool parseHexBytes(const std::string& text, std::vector<uint8_t>& out);  // blanks allowed
bool sa2FromOdxText(const std::string& odx, std::vector<uint8_t>& program);
bool readSa2FromPackage(const std::string& path, std::vector<uint8_t>& program, std::string& error);

}  // namespace ecusim
