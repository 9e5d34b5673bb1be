// UDS request engine: transport binding, timing, response-pending and busy-repeat handling,
// classification of answers and tester present.
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "canif/canif.h"
#include "doip/doipif.h"
#include "flasher/cfg.h"
#include "flasher/status_events.h"
#include "logging/cnv.h"
#include "logging/log.h"
#include "uds/uds_internal.h"

uint16_t UDS_BUF_MAX = 4096;

bool (*IF_boInit)() = nullptr;
void (*IF_vDeinit)() = nullptr;
bool (*IF_boSendUDS)(IF_tenSocketType, uint8_t*, uint32_t) = nullptr;
int (*IF_iReceive)(uint8_t, uint8_t*, uint32_t, int) = nullptr;
void (*IF_vClearRxBuffer)() = nullptr;
bool (*IF_boStartTesterPresentCyclicFunc)(uint8_t*, uint32_t) = nullptr;
bool (*IF_boStopTesterPresentCyclicFunc)() = nullptr;
bool (*IF_boStartStream)() = nullptr;

uint16_t IF__u16Timing_ms = 0;
uint32_t IF__u32ExtTiming_ms = 0;
int32_t IF__iP3_Client_Func_Phys_ms = 400;

namespace {

const UDS_tstTransport* UDS__pstTransportOverride = nullptr;

constexpr uint8_t UDS__SID_TRANSFER_DATA = 0x36;
constexpr uint8_t UDS__NRC_BUSY_REPEAT = 0x21;
constexpr uint8_t UDS__NRC_RESPONSE_PENDING = 0x78;
constexpr int UDS__MAX_SEND_ATTEMPTS = 5;
constexpr uint32_t UDS__MAX_DUMP_BYTES = 2048;

struct UDS__tstNrcText {
    uint8_t u8Nrc;
    const char* pcText;
};

const UDS__tstNrcText negativeResponseTable[] = {
    {0x10, "generalReject"},
    {0x11, "serviceNotSupported"},
    {0x12, "subFunctionNotSupported"},
    {0x13, "incorrectMessageLengthOrInvalidFormat"},
    {0x14, "responseTooLong"},
    {0x21, "BusyRepeatRequest"},
    {0x22, "conditionsNotCorrect"},
    {0x24, "RequestSequenceError"},
    {0x31, "requestOutOfRange"},
    {0x33, "securityAccessDenied"},
    {0x35, "invalidKey"},
    {0x36, "exceedNumberOfAttempts"},
    {0x37, "requiredTimeDelayNotExpired"},
    {0x70, "uploadDownloadNotAccepted"},
    {0x71, "transferDataSuspended"},
    {0x72, "generalProgrammingFailure"},
    {0x73, "wrongBlockSequenceCounter"},
    {0x78, "RequestCorrectlyReceived-ResponsePending"},
    {0x7E, "subFunctionNotSupportedInActiveSession"},
    {0x7F, "serviceNotSupportedInActiveSession"},
};

void UDS__vBind(const UDS_tstTransport& t) {
    IF_boInit = t.boInit;
    IF_vDeinit = t.vDeinit;
    IF_boSendUDS = t.boSendUDS;
    IF_iReceive = t.iReceive;
    IF_vClearRxBuffer = t.vClearRxBuffer;
    IF_boStartTesterPresentCyclicFunc = t.boStartTesterPresentCyclicFunc;
    IF_boStopTesterPresentCyclicFunc = t.boStopTesterPresentCyclicFunc;
    IF_boStartStream = t.boStartStream;
}

const UDS_tstTransport UDS__stCanTransport = {
    CANIF_boInit, CANIF_vDeinit, CANIF_boSendUDS, CANIF_iReceive, CANIF_vClearRxBuffer,
    CANIF_boStartTesterPresentCyclicFunc, CANIF_boStopTesterPresentCyclicFunc, CANIF_boStartStream,
};

const UDS_tstTransport UDS__stDoipTransport = {
    DOIPIF_boInit, DOIPIF_vDeinit, DOIPIF_boSendUDS, DOIPIF_iReceive, DOIPIF_vClearRxBuffer,
    DOIPIF_boStartTesterPresentCyclicFunc, DOIPIF_boStopTesterPresentCyclicFunc, DOIPIF_boStartStream,
};

// Unexpected answer: logged with the first (up to three) bytes of the message.
UDS_tenResult UDS__enUnexpected(uint8_t sid, uint8_t foundSid, const uint8_t* msg, uint32_t n) {
    char hex[7];
    CNV_u32ByteArrayToHexStr(msg, n < 3 ? n : 3, hex);
    LOG_vError("UDS: SID 0x%02X .. Unexpected Service Response 0x%02X - \"%s\"", sid, foundSid, hex);
    return UDS_RES_ERROR;
}

}  // namespace

void UDS_vSetTransportOverride(const UDS_tstTransport* transport) { UDS__pstTransportOverride = transport; }

bool UDS_boInit() {
    const bool boEth = CFG_boIsUseEthRequest();
    if (UDS__pstTransportOverride != nullptr) {
        if (UDS__pstTransportOverride->boInit != nullptr && !UDS__pstTransportOverride->boInit()) {
            LOG_vError("UDS: Transport Init Failed");
            return false;
        }
        UDS__vBind(*UDS__pstTransportOverride);
    } else if (boEth) {
        if (!DOIPIF_boInit()) {
            LOG_vError("UDS: DOIP Init Failed");
            return false;
        }
        UDS__vBind(UDS__stDoipTransport);
    } else {
        if (!CANIF_boInit()) {
            LOG_vError("UDS: CANIF Init Failed");
            return false;
        }
        UDS__vBind(UDS__stCanTransport);
    }
    const int iP2 = CFG_iP2ClientMs();
    const int iP2Ext = CFG_iP2ExtClientMs();
    const int iP3 = CFG_iP3ClientMs();
    // A configured P2 above 65535 ms keeps only its low 16 bits.
    IF__u16Timing_ms = static_cast<uint16_t>(iP2 >= 0 ? iP2 : (boEth ? 500 : 1000));
    IF__u32ExtTiming_ms = static_cast<uint32_t>(iP2Ext >= 0 ? iP2Ext : 10000);
    IF__iP3_Client_Func_Phys_ms = iP3 >= 0 ? iP3 : 400;
    UDS_BUF_MAX = boEth ? 0xFFFF : 4096;
    LOG_vDebug_1("UDS: Default Timings P2:%dms P2*:%dms P3:%dms", static_cast<int>(IF__u16Timing_ms),
                 static_cast<int>(IF__u32ExtTiming_ms), static_cast<int>(IF__iP3_Client_Func_Phys_ms));
    return true;
}

void UDS_vDeinit() {
    if (IF_vDeinit != nullptr) IF_vDeinit();
}

void UDS_vClearRxBuffer() {
    if (IF_vClearRxBuffer != nullptr) IF_vClearRxBuffer();
}

bool UDS_boStartStream() { return IF_boStartStream != nullptr && IF_boStartStream(); }

bool UDS_boStartTesterPresentCyclicFunc() {
    uint8_t frame[3] = {0x02, 0x3E, 0x80};
    return IF_boStartTesterPresentCyclicFunc != nullptr && IF_boStartTesterPresentCyclicFunc(frame, sizeof frame);
}

bool UDS_boStopTesterPresentCyclicFunc() {
    return IF_boStopTesterPresentCyclicFunc != nullptr && IF_boStopTesterPresentCyclicFunc();
}

std::string getNegativeResponseString(uint8_t nrc) {
    for (const auto& row : negativeResponseTable) {
        if (row.u8Nrc == nrc) return row.pcText;
    }
    return "Unknown";
}

UDS_tstResponseHeader UDS_GetResponseHeader(const uint8_t* message, long length) {
    UDS_tstResponseHeader h = {0xFF, 0, 0xFF, 0};
    if (message == nullptr || length <= 0) {
        LOG_vError("UDS: Illegal response length %ld", length);
        return h;
    }
    if (message[0] != 0x7F) {
        h.u8ServiceId = static_cast<uint8_t>(message[0] & ~0x40);
        h.u8Positive = 1;
        return h;
    }
    if (length < 3) {
        LOG_vError("UDS: Illegal negative response length %ld", length);
        return h;
    }
    h.u8ServiceId = message[1];
    h.u8Nrc = message[2];
    return h;
}

bool isTimeReached(int64_t startSec, int limitSec) {
    return std::difftime(std::time(nullptr), static_cast<std::time_t>(startSec)) > static_cast<double>(limitSec);
}

UDS_tenResult processPendingResponses(uint8_t sid, uint8_t* response, uint16_t* length,
                                      UDS_tenSupprPosResp suppress, int timeout_ms) {
    const uint32_t u32Capacity = *length;
    *length = 0;
    const int64_t i64Start = static_cast<int64_t>(std::time(nullptr));
    const int iCompletionSec = CFG_i32CompletionTimeSec();
    int iTimeout = timeout_ms;
    for (;;) {
        const int n = IF_iReceive(sid, response, u32Capacity, iTimeout);
        if (n <= 0) {
            if (suppress == UDS_SUPPRESS_POS_RESP_ON) {
                LOG_vDebug_1("UDS: SID 0x%02X .. Suppressed Positive Response", sid);
                return UDS_RES_OK;
            }
            LOG_vError("UDS: SID 0x%02X .. Can't get response (Timeout %dms)", sid, iTimeout);
            return UDS_RES_ERROR;
        }
        if (static_cast<uint32_t>(n) > u32Capacity) {
            // A transport that reports more than it was allowed to place: never trust it.
            LOG_vError("UDS: SID 0x%02X .. Response of %d Bytes exceeds the buffer of %u Bytes", sid, n, u32Capacity);
            return UDS_RES_ERROR;
        }
        *length = static_cast<uint16_t>(n);
        const UDS_tstResponseHeader h = UDS_GetResponseHeader(response, n);
        if (h.u8ServiceId != sid) return UDS__enUnexpected(sid, h.u8ServiceId, response, static_cast<uint32_t>(n));
        if (h.u8Positive != 0) {
            LOG_vDebug_3("UDS: SID 0x%02X .. Response is Ok", sid);
            return UDS_RES_OK;
        }
        if (h.u8Nrc != UDS__NRC_RESPONSE_PENDING) {
            LOG_vError("UDS: SID 0x%02X .. Negative Response 0x%02X - \"%s\"", sid, h.u8Nrc,
                       getNegativeResponseString(h.u8Nrc).c_str());
            return h.u8Nrc == UDS__NRC_BUSY_REPEAT ? UDS_RES_BUSY_REPEAT : UDS_RES_ERROR;
        }
        LOG_vDebug_2("UDS: SID 0x%02X .. Response is pending", sid);
        iTimeout = static_cast<int>(IF__u32ExtTiming_ms);
        if (isTimeReached(i64Start, iCompletionSec)) {
            LOG_vError("UDS: SID 0x%02X .. Pending Response Completion Timeout is reached (%d s)", sid, iCompletionSec);
            return UDS_RES_PENDING_TIMEOUT;
        }
    }
}

UDS_tenResult UDS__enSendUDS(IF_tenSocketType addressing, uint8_t* request, uint32_t requestLength,
                             uint8_t* response, uint16_t* responseLength, UDS_tenSupprPosResp suppress) {
    if (request == nullptr || requestLength == 0 || response == nullptr || responseLength == nullptr) {
        LOG_vError("UDS: Send Request without data");
        if (responseLength != nullptr) *responseLength = 0;
        return UDS_RES_SEND_FAILED;
    }
    const uint8_t sid = request[0];
    if (IF_boSendUDS == nullptr || IF_iReceive == nullptr) {
        LOG_vError("UDS: SID 0x%02X .. Send failed", sid);
        *responseLength = 0;
        return UDS_RES_SEND_FAILED;
    }
    const bool boSuppressed = suppress == UDS_SUPPRESS_POS_RESP_ON;
    if (boSuppressed && requestLength >= 2) request[1] |= 0x80;
    const uint16_t u16Capacity = *responseLength;

    for (int attempt = 0; attempt < UDS__MAX_SEND_ATTEMPTS; ++attempt) {
        if (CFG_iGetDebugLevel() > 1 && sid != UDS__SID_TRANSFER_DATA) {
            const uint32_t u32Dump = requestLength < UDS__MAX_DUMP_BYTES ? requestLength : UDS__MAX_DUMP_BYTES;
            std::vector<char> hex(2 * u32Dump + 1);
            CNV_u32ByteArrayToHexStr(request, u32Dump, hex.data());
            LOG_vDebug_1("UDS: Send Request: %s", hex.data());
        }
        if (!IF_boSendUDS(addressing, request, requestLength)) {
            LOG_vError("UDS: SID 0x%02X .. Send failed", sid);
            *responseLength = 0;
            return UDS_RES_SEND_FAILED;
        }
        UDS_NotifyCommandTransmitted();
        const int iTimeout = boSuppressed ? IF__iP3_Client_Func_Phys_ms : static_cast<int>(IF__u16Timing_ms);
        *responseLength = u16Capacity;
        const UDS_tenResult res = processPendingResponses(sid, response, responseLength, suppress, iTimeout);
        if (res != UDS_RES_BUSY_REPEAT) return res;
        LOG_vDebug_1("UDS: Try to send request again");
    }
    LOG_vError("UDS: SID 0x%02X - Too many requests", sid);
    return UDS_RES_ERROR;
}

UDS_tenResult UDS__enTesterPresent(IF_tenSocketType addressing, UDS_tenSupprPosResp suppress) {
    uint8_t request[2] = {0x3E, 0x00};
    uint8_t response[10] = {};
    uint16_t u16Len = sizeof response;
    return UDS__enSendUDS(addressing, request, sizeof request, response, &u16Len, suppress);
}

UDS_tenResult UDS_enTesterPresentFunc(UDS_tenSupprPosResp suppress) {
    return UDS__enTesterPresent(IF_SOCKET_FUNC, suppress);
}

UDS_tenResult UDS_enTesterPresentPhy(UDS_tenSupprPosResp suppress) {
    return UDS__enTesterPresent(IF_SOCKET_PHY, suppress);
}

namespace {
void (*UDS__pfSleepHook)(uint32_t) = nullptr;
bool (*UDS__pfClusterConnectedHook)() = nullptr;
}  // namespace

void UDS__vSleepMs(uint32_t ms) {
    if (UDS__pfSleepHook != nullptr) {
        UDS__pfSleepHook(ms);
        return;
    }
    struct timespec req = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    struct timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

bool UDS__boIsClusterConnected() {
    return UDS__pfClusterConnectedHook != nullptr ? UDS__pfClusterConnectedHook() : DOIPIF_isClusterConnected();
}

void UDS__vSetSleepHookForTest(void (*hook)(uint32_t)) { UDS__pfSleepHook = hook; }
void UDS__vSetClusterConnectedHookForTest(bool (*hook)()) { UDS__pfClusterConnectedHook = hook; }

void UDS__vResetForTest() {
    const UDS_tstTransport empty = {};
    UDS__vBind(empty);
    UDS__pstTransportOverride = nullptr;
    UDS__pfSleepHook = nullptr;
    UDS__pfClusterConnectedHook = nullptr;
    IF__u16Timing_ms = 0;
    IF__u32ExtTiming_ms = 0;
    IF__iP3_Client_Func_Phys_ms = 400;
    UDS_BUF_MAX = 4096;
}
