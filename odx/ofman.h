// OFMAN_: the flash-file list, filled by a recursive search of file names by regular expression.
#pragma once

#include <cstdint>
#include <string>

// Empties the file list.
void OFMAN_vInit();
// Empties the file list.
void OFMAN_vDeinit();
// Lists the regular files below directory whose whole name matches pattern (ECMAScript,
// case-insensitive); returns their number.
uint16_t OFMAN_u16FindFiles(const std::string& directory, const std::string& pattern);
// Path at index of the last search, or an empty string.
std::string OFMAN_strGetODXFilePath(uint16_t index);
