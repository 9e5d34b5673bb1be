// Reading the UDS request of the send/receive tool from a stream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

// Reads hexadecimal numbers separated by white space ("%hhx": "10" and "0x10" are 0x10, a
// longer token keeps its low 8 bits) until a conversion fails; the rest is ignored.
std::vector<uint8_t> ReadRequest(FILE* in);
