// The send/receive tool's UDS exchange: one request as a DoIP diagnostic message, waiting with
// P2/P2* timing, response-pending and busy-repeat handling, and the option of judging a missing
// answer as a suppressed positive response.
//
// The exchange is a template over the channel so that it runs against the tool's DoipChannel
// and, in tests, against a scripted channel. A channel offers
//   SendDiagMessage(const std::vector<uint8_t>& data, uint16_t target)  (throws on failure)
//   std::vector<uint8_t> ReceiveDiagMessage(int timeoutMs)              (throws TcpTimeout)
#pragma once

#include <chrono>
#include <climits>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <vector>

#include "sockets/tcp_socket.h"
#include "tool/tool_log.h"

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

// Limit of one receive loop with response-pending answers; tested after each pending answer.
constexpr std::chrono::seconds kPendingLimit{100};

// "UDS: SID 0x%02X .. Can't get response (Timeout %dms)"
std::runtime_error NoResponseError(uint8_t sid, int timeoutMs);

}  // namespace uds

struct UdsResponseHeader {
    uint8_t sid = 0;
    bool positive = false;
    uint8_t nrc = 0xFF;  // 0xFF when positive
};

// Throws std::runtime_error for an empty response or a negative response shorter than 3 bytes.
UdsResponseHeader UDS_ParseResponseHeader(const std::vector<uint8_t>& response);

namespace uds {

inline int ClampTimeout(uint32_t ms) { return ms > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(ms); }

// Waits for the answer to `sid`: positive (status 0), busy-repeat (1), other negative, other
// service or pending limit reached (2). A timeout of the first wait leaves as TcpTimeout.
template <typename Channel>
UdsResult ProcessPendingResponses(const UdsOptions& options, Channel& channel, uint8_t sid, uint32_t firstTimeout_ms,
                                  std::chrono::steady_clock::duration pendingLimit = kPendingLimit) {
    const auto deadline = std::chrono::steady_clock::now() + pendingLimit;
    uint32_t timeout = firstTimeout_ms;
    bool pending = false;
    for (;;) {
        std::vector<uint8_t> response;
        try {
            response = channel.ReceiveDiagMessage(ClampTimeout(timeout));
        } catch (const TcpTimeout& e) {
            // After a pending answer the ECU owes a final response: silence then is a failure,
            // also when a positive response would be suppressed.
            if (pending) throw NoResponseError(sid, e.timeout);
            throw;
        }
        const UdsResponseHeader header = UDS_ParseResponseHeader(response);
        if (header.sid != sid) {
            LOG<&LogErrorPrefix>("UDS: SID 0x%02X .. Unexpected ServiceId 0x%02X", sid, header.sid);
            return UdsResult{2, response};
        }
        if (header.positive) {
            LOG<&LogDebugPrefix>("UDS: SID 0x%02X .. Positive Response", sid);
            return UdsResult{0, response};
        }
        if (header.nrc != 0x78) {
            LOG<&LogErrorPrefix>("UDS: SID 0x%02X .. Negative Response 0x%02X", sid, header.nrc);
            return UdsResult{header.nrc == 0x21 ? 1 : 2, response};
        }
        LOG<&LogDebugPrefix>("UDS: SID 0x%02X .. Response is pending", sid);
        pending = true;
        timeout = options.p2ExtServer_ms;
        if (std::chrono::steady_clock::now() >= deadline) {
            LOG<&LogErrorPrefix>("UDS: SID 0x%02X .. PendingComletionTimeout is reached", sid);
            return UdsResult{2, response};
        }
    }
}

// Sends the request unchanged and waits for its answer; resends while the ECU answers busy.
template <typename Channel>
UdsResult UDS__Send(const UdsOptions& options, Channel& channel, uint16_t targetAddress,
                    const std::vector<uint8_t>& request,
                    std::chrono::steady_clock::duration pendingLimit = kPendingLimit) {
    if (request.empty()) throw std::runtime_error("UDS: Invalid message size");
    const uint8_t sid = request[0];
    const uint32_t firstTimeout = options.suppressPositiveResponse ? options.p3Client_ms : options.p2Server_ms;
    LOG<&LogDebugPrefix>("UDS: Sending SID 0x%02X ..", sid);

    UdsResult result{1, {}};
    for (int32_t sent = 0; sent < options.maxRequests; ++sent) {
        try {
            channel.SendDiagMessage(request, targetAddress);
        } catch (const std::exception& e) {
            LOG<&LogErrorPrefix>("%s", e.what());
            throw std::runtime_error("UDS: Send failed");
        }
        try {
            result = ProcessPendingResponses(options, channel, sid, firstTimeout, pendingLimit);
        } catch (const TcpTimeout& e) {
            if (!options.suppressPositiveResponse) throw NoResponseError(sid, e.timeout);
            LOG<&LogDebugPrefix>("UDS: SID 0x%02X .. Suppressed Positive Response", sid);
            return UdsResult{0, {}};
        }
        if (result.status != 1) return result;
        LOG<&LogDebugPrefix>("UDS: Try to send request again");
    }
    LOG<&LogErrorPrefix>("UDS: Too many requests");
    return result;
}

}  // namespace uds
