// UDS services: request building, echo checks and output copies, on top of the engine.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "flasher/cfg.h"
#include "logging/log.h"
#include "uds/uds_internal.h"

namespace {

// One exchange of a service: request = header bytes + caller's data, both buffers of
// UDS_BUF_MAX bytes, zero-filled. *n: length of the answer on return.
struct UDS__tstExchange {
    std::vector<uint8_t> request;
    std::vector<uint8_t> response;
    uint16_t n = 0;
};

bool UDS__boRequestFits(const char* svc, uint32_t total) {
    if (total <= UDS_BUF_MAX) return true;
    LOG_vError("UDS: %s Request of %u Bytes exceeds the buffer of %u Bytes", svc, total,
               static_cast<unsigned>(UDS_BUF_MAX));
    return false;
}

UDS_tenResult UDS__enExchange(const char* svc, IF_tenSocketType addressing, UDS_tenSupprPosResp suppress,
                              const uint8_t* header, uint16_t headerLen, const uint8_t* data, uint32_t dataLen,
                              UDS__tstExchange& x) {
    if (data == nullptr) dataLen = 0;
    const uint32_t total = headerLen + dataLen;
    if (!UDS__boRequestFits(svc, total)) return UDS_RES_ERROR;
    x.request.assign(UDS_BUF_MAX, 0);
    x.response.assign(UDS_BUF_MAX, 0);
    std::memcpy(x.request.data(), header, headerLen);
    if (dataLen > 0) std::memcpy(x.request.data() + headerLen, data, dataLen);
    x.n = UDS_BUF_MAX;
    return UDS__enSendUDS(addressing, x.request.data(), total, x.response.data(), &x.n, suppress);
}

UDS_tenResult UDS__enPhysical(const char* svc, const uint8_t* header, uint16_t headerLen, const uint8_t* data,
                              uint32_t dataLen, UDS__tstExchange& x) {
    return UDS__enExchange(svc, IF_SOCKET_PHY, UDS_SUPPRESS_POS_RESP_OFF, header, headerLen, data, dataLen, x);
}

UDS_tenResult UDS__enFunctional(const char* svc, const uint8_t* header, uint16_t headerLen) {
    UDS__tstExchange x;
    return UDS__enExchange(svc, IF_SOCKET_FUNC, UDS_SUPPRESS_POS_RESP_ON, header, headerLen, nullptr, 0, x);
}

// Copies the answer's parameter part (from `offset`) to the caller when both pointers are
// given; *outLen holds the capacity of out on entry.
UDS_tenResult UDS__enCopyOut(const char* svc, const UDS__tstExchange& x, uint16_t offset, uint8_t* out,
                             uint16_t* outLen) {
    if (out == nullptr || outLen == nullptr) return UDS_RES_OK;
    const uint16_t count = x.n > offset ? static_cast<uint16_t>(x.n - offset) : 0;
    if (count > *outLen) {
        LOG_vError("UDS: %s Answer of %u Bytes does not fit the output buffer of %u Bytes", svc,
                   static_cast<unsigned>(count), static_cast<unsigned>(*outLen));
        return UDS_RES_ERROR;
    }
    if (count > 0) std::memcpy(out, x.response.data() + offset, count);
    *outLen = count;
    return UDS_RES_OK;
}

}  // namespace

UDS_tenResult UDS_enDiagnosticSessionControl(USD_tenDiagSession session, UDS_tenSupprPosResp suppress) {
    const uint8_t header[2] = {0x10, static_cast<uint8_t>(session)};
    UDS__tstExchange x;
    const UDS_tenResult res = UDS__enExchange("DSC", IF_SOCKET_PHY, suppress, header, 2, nullptr, 0, x);
    if (res != UDS_RES_OK || suppress == UDS_SUPPRESS_POS_RESP_ON) return res;
    const uint8_t* r = x.response.data();
    if (r[1] != static_cast<uint8_t>(session)) {
        LOG_vError("UDS: DSC wrong session in response 0x%02X", r[1]);
        return UDS_RES_WRONG_RESPONSE;
    }
    if (x.n < 6) {
        LOG_vWarning("UDS: DSC cannot read timings, answer is too short %d", static_cast<int>(x.n));
        return UDS_RES_OK;
    }
    // Both values come in 10 ms units. P2 is kept in 16 bits; a value beyond that range is
    // held at the largest one instead of wrapping to a tiny timeout.
    if (CFG_iP2ClientMs() < 0) {
        const uint32_t p2 = 10u * (r[2] * 256u + r[3]);
        IF__u16Timing_ms = static_cast<uint16_t>(p2 > 0xFFFFu ? 0xFFFFu : p2);
    }
    if (CFG_iP2ExtClientMs() < 0) IF__u32ExtTiming_ms = 10u * (r[4] * 256u + r[5]);
    LOG_vInfo("UDS: DSC Changed to Session 0x%02X P2:%dms P2*:%dms", static_cast<unsigned>(session),
              static_cast<int>(IF__u16Timing_ms), static_cast<int>(IF__u32ExtTiming_ms));
    return UDS_RES_OK;
}

UDS_tenResult UDS_enDiagnosticSessionControlFunc(USD_tenDiagSession session) {
    const uint8_t header[2] = {0x10, static_cast<uint8_t>(session)};
    return UDS__enFunctional("DSC", header, 2);
}

UDS_tenResult UDS_enReadDataByIdentifier(UDS_tenReadDataByIDIdent did, uint8_t* out, uint16_t* outLen) {
    const uint8_t header[3] = {0x22, static_cast<uint8_t>(did >> 8), static_cast<uint8_t>(did)};
    UDS__tstExchange x;
    const UDS_tenResult res = UDS__enPhysical("RDBI", header, 3, nullptr, 0, x);
    if (res != UDS_RES_OK) return res;
    const uint8_t* r = x.response.data();
    if (x.n < 3 || r[1] != header[1] || r[2] != header[2]) {
        LOG_vError("UDS: RDBI Wrong SubFct in Answer 0x%02X%02X", r[1], r[2]);
        return UDS_RES_ERROR;
    }
    return UDS__enCopyOut("RDBI", x, 3, out, outLen);
}

UDS_tenResult UDS_enWriteDataByIdentifier(UDS_tenWriteDataByIDIdent did, const uint8_t* data, uint16_t length) {
    const uint8_t header[3] = {0x2E, static_cast<uint8_t>(did >> 8), static_cast<uint8_t>(did)};
    UDS__tstExchange x;
    const UDS_tenResult res = UDS__enPhysical("WDBI", header, 3, data, length, x);
    if (res != UDS_RES_OK) return res;
    const uint8_t* r = x.response.data();
    if (x.n != 3) {
        LOG_vError("UDS: WDBI Message Length Received %d", static_cast<int>(x.n));
        return UDS_RES_ERROR;
    }
    if (r[1] != header[1] || r[2] != header[2]) {
        LOG_vError("UDS: WDBI Wrong SubFct in Answer 0x%02X%02X", r[1], r[2]);
        return UDS_RES_ERROR;
    }
    LOG_vInfo("UDS: WDBI Write Data OK for 0x%04X", static_cast<unsigned>(did));
    return UDS_RES_OK;
}

UDS_tenResult UDS_enRoutineControl(UDS_tenRoutineCtrlType type, UDS_tenRoutineControl rid, const uint8_t* data,
                                   uint16_t length, uint8_t* out, uint16_t* outLen) {
    const uint8_t header[4] = {0x31, static_cast<uint8_t>(type), static_cast<uint8_t>(rid >> 8),
                               static_cast<uint8_t>(rid)};
    UDS__tstExchange x;
    const UDS_tenResult res = UDS__enPhysical("RC", header, 4, data, length, x);
    if (res != UDS_RES_OK) return res;
    const uint8_t* r = x.response.data();
    if (x.n < 4 || r[1] != header[1] || r[2] != header[2] || r[3] != header[3]) {
        LOG_vError("UDS: RC Wrong SubFct in Answer 0x%02X 0x%02X%02X", r[1], r[2], r[3]);
        return UDS_RES_ERROR;
    }
    const UDS_tenResult copy = UDS__enCopyOut("RC", x, 4, out, outLen);
    if (copy == UDS_RES_OK) LOG_vDebug_1("UDS: RC Routine OK for 0x%04X", static_cast<unsigned>(rid));
    return copy;
}

UDS_tenResult UDS_enSecurityAccess(UDS_tenSecurityAccess type, const uint8_t* data, uint16_t length, uint8_t* out,
                                   uint16_t* outLen) {
    const uint8_t header[2] = {0x27, static_cast<uint8_t>(type)};
    UDS__tstExchange x;
    const UDS_tenResult res = UDS__enPhysical("SA", header, 2, data, length, x);
    if (res != UDS_RES_OK) return res;
    const uint8_t* r = x.response.data();
    if (x.n < 2 || r[1] != header[1]) {
        LOG_vError("UDS: SA Wrong SubFct in Answer 0x%02X", r[1]);
        return UDS_RES_ERROR;
    }
    return UDS__enCopyOut("SA", x, 2, out, outLen);
}

UDS_tenResult UDS_enRequestDownload(const uint8_t* params, uint16_t length, uint8_t* out, uint16_t* outLen) {
    const uint8_t header[1] = {0x34};
    UDS__tstExchange x;
    const UDS_tenResult res = UDS__enPhysical("RD", header, 1, params, length, x);
    if (res != UDS_RES_OK) return res;
    return UDS__enCopyOut("RD", x, 1, out, outLen);
}

UDS_tenResult UDS_enTransferData(uint8_t counter, const uint8_t* data, uint16_t length) {
    if (data == nullptr) length = 0;
    if (!UDS__boRequestFits("TD", length + 2u)) return UDS_RES_ERROR;
    // Called once per block of a download: plain heap buffers, no zero-filling.
    uint8_t* request = static_cast<uint8_t*>(std::malloc(UDS_BUF_MAX));
    uint8_t* response = static_cast<uint8_t*>(std::malloc(UDS_BUF_MAX));
    UDS_tenResult res = UDS_RES_ERROR;
    if (request == nullptr || response == nullptr) {
        LOG_vError("UDS: Out of memory to allocate %d Bytes", static_cast<int>(UDS_BUF_MAX));
    } else {
        request[0] = 0x36;
        request[1] = counter;
        if (length > 0) std::memcpy(request + 2, data, length);
        uint16_t n = 4;
        res = UDS__enSendUDS(IF_SOCKET_PHY, request, length + 2u, response, &n, UDS_SUPPRESS_POS_RESP_OFF);
        if (res != UDS_RES_OK) {
            res = UDS_RES_ERROR;
        } else if (n != 2) {
            LOG_vError("UDS: TD Message Length Received %d", static_cast<int>(n));
            res = UDS_RES_ERROR;
        } else if (response[1] != counter) {
            LOG_vError("UDS: TD Wrong BSN %02X", response[1]);
            res = UDS_RES_ERROR;
        }
    }
    std::free(request);
    std::free(response);
    return res;
}

UDS_tenResult UDS_enRequestTransferExit() {
    const uint8_t header[1] = {0x37};
    UDS__tstExchange x;
    return UDS__enPhysical("RTE", header, 1, nullptr, 0, x);
}

UDS_tenResult UDS_enECUReset(uint8_t resetType) {
    const uint8_t header[2] = {0x11, resetType};
    UDS__tstExchange x;
    return UDS__enPhysical("ER", header, 2, nullptr, 0, x);
}

UDS_tenResult UDS_enControlDTCSettingFunc(UDS_tenControlDTCSetting setting) {
    const uint8_t header[5] = {0x85, static_cast<uint8_t>(setting), 0xFF, 0xFF, 0xFF};
    return UDS__enFunctional("CDTCS", header, 5);
}

UDS_tenResult UDS_enCommunicationControlFunc(UDS_tenCommCtrlType control) {
    const uint8_t header[3] = {0x28, static_cast<uint8_t>(control), 0x01};
    return UDS__enFunctional("CC", header, 3);
}
