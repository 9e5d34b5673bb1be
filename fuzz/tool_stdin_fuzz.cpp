// The send/receive tool's request reader on arbitrary standard input.
#include <cstdint>
#include <cstdio>

#include "tool/request_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* in = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (in == nullptr) return 0;
    const auto request = ReadRequest(in);
    fclose(in);
    if (request.size() > size) __builtin_trap();
    return 0;
}
