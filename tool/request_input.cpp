#include "tool/request_input.h"

std::vector<uint8_t> ReadRequest(FILE* in) {
    std::vector<uint8_t> request;
    unsigned char byte = 0;
    while (fscanf(in, "%hhx", &byte) == 1) request.push_back(byte);
    return request;
}
