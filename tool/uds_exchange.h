// The send/receive tool's UDS exchange: one request as a DoIP diagnostic message, waiting with
// P2/P2* timing, response-pending and busy-repeat handling, and the option of judging a missing
// answer as a suppressed positive response.
#pragma once

#include <cstdint>
#include <vector>

namespace uds {

struct UdsOptions {
    int32_t maxRequests = 5;          // sends while the ECU answers busy-repeat-request
    uint32_t p3Client_ms = 400;       // first wait when a suppressed positive response is expected
    uint32_t p2Server_ms = 100;       // first wait otherwise
    uint32_t p2ExtServer_ms = 6000;   // each wait after a response-pending answer
    bool suppressPositiveResponse = false;
};

struct UdsResult {
    // 0 success, 1 ECU stayed busy (0x21 on every send), 2 failure.
    int32_t status = 0;
    // The last response received, unchanged (empty after a suppressed positive response).
    std::vector<uint8_t> response;
};

}  // namespace uds

struct UdsResponseHeader {
    uint8_t sid = 0;
    bool positive = false;
    uint8_t nrc = 0xFF;  // 0xFF when positive
};

// Throws std::runtime_error for an empty response or a negative response shorter than 3 bytes.
UdsResponseHeader UDS_ParseResponseHeader(const std::vector<uint8_t>& response);
