#include "tool/uds_exchange.h"

#include <cstdio>

namespace uds {

std::runtime_error NoResponseError(uint8_t sid, int timeoutMs) {
    char text[200];
    snprintf(text, sizeof text, "UDS: SID 0x%02X .. Can't get response (Timeout %dms)", sid, timeoutMs);
    return std::runtime_error(text);
}

}  // namespace uds

UdsResponseHeader UDS_ParseResponseHeader(const std::vector<uint8_t>& response) {
    if (response.empty()) throw std::runtime_error("UDS: No response");
    UdsResponseHeader header;
    if (response[0] != 0x7F) {
        header.sid = static_cast<uint8_t>(response[0] & ~0x40);
        header.positive = true;
        header.nrc = 0xFF;
        return header;
    }
    if (response.size() < 3) {
        char text[200];
        snprintf(text, sizeof text, "UDS: Illegal length of negative response %d", static_cast<int>(response.size()));
        throw std::runtime_error(text);
    }
    header.sid = response[1];
    header.positive = false;
    header.nrc = response[2];
    return header;
}
