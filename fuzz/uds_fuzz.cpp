// UDS answers from the ECU through the request engine (classification, response pending,
// busy-repeat), the services' echo and length checks, the transfer routines, SA2 access and
// the sequencer's identification reading.
//
// Input: one control byte, then the answers the fake transport plays back, one per receive
// call, each as a length byte and that many bytes (length 0xFF: a 16-bit big-endian length
// follows, so answers larger than the services' buffers occur; length 0: silence). Control
// bits: 0-3 the first operation of the fixed round of operations, 4 the send fails once the
// answers are used up, 7 the DoIP buffer size (65535) instead of the CAN one (4096).
#include <cstdint>
#include <cstring>
#include <vector>

#include "flasher/flash_seq.h"
#include "fuzz/fuzz_support.h"
#include "uds/uds.h"
#include "uds/uds_internal.h"

using namespace fuzzsupport;

namespace {

struct Script {
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    bool failSendAtEnd = false;
    bool exhausted() const { return pos >= size; }
};
Script script;

bool Send(IF_tenSocketType, uint8_t* data, uint32_t length) {
    if (data == nullptr || length == 0) __builtin_trap();
    Touch(data, length);
    return !(script.failSendAtEnd && script.exhausted());
}

int Receive(uint8_t, uint8_t* buffer, uint32_t capacity, int) {
    if (script.exhausted()) return 0;
    size_t n = script.data[script.pos++];
    if (n == 0xFF && script.size - script.pos >= 2) {
        n = static_cast<size_t>(script.data[script.pos]) << 8 | script.data[script.pos + 1];
        script.pos += 2;
    }
    n = std::min(n, script.size - script.pos);
    // A transport places at most `capacity` bytes; the engine sees what was placed.
    const size_t placed = std::min<size_t>(n, capacity);
    std::memcpy(buffer, script.data + script.pos, placed);
    script.pos += n;
    return static_cast<int>(placed);
}

bool Ok() { return true; }
void Nothing() {}
bool TesterPresentStart(uint8_t*, uint32_t) { return true; }

const UDS_tstTransport kTransport = {Ok, Nothing, Send, Receive, Nothing, TesterPresentStart, Ok, Ok};

void CheckOut(uint16_t len, uint16_t capacity) {
    if (len > capacity) __builtin_trap();
}

void CheckText(const char* text, size_t size) {
    if (std::memchr(text, '\0', size) == nullptr) __builtin_trap();
}

void CheckIdents() {
    CheckText(FLASH__acVWSparePartNumber, sizeof FLASH__acVWSparePartNumber);
    CheckText(FLASH__acVWSoftwareVersionNumber, sizeof FLASH__acVWSoftwareVersionNumber);
    CheckText(FLASH__acVWEcuHardwareNum, sizeof FLASH__acVWEcuHardwareNum);
    CheckText(FLASH__acVWEcuHardwareVersionNum, sizeof FLASH__acVWEcuHardwareVersionNum);
    if (FLASH__u8SwBlockNo > FLASH_MAX_SW_BLOCKS) __builtin_trap();
    for (int i = 0; i < FLASH__u8SwBlockNo; ++i)
        CheckText(FLASH__astSwBlock[i].acBlockVersion, sizeof FLASH__astSwBlock[i].acBlockVersion);
}

void Operation(int which) {
    uint8_t out[32];
    uint16_t len = sizeof out;
    const uint8_t params[] = {0x00, 0x44, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00};
    std::vector<uint8_t> block(1024, 0xA5);
    switch (which) {
        case 0:
            UDS_enDiagnosticSessionControl(UDS_DIAG_SESSION_PROGRAMMING, UDS_SUPPRESS_POS_RESP_OFF);
            break;
        case 1:
            UDS_enReadDataByIdentifier(UDS_RDBI_VW_SPARE_PART_NUMBER, out, &len);
            CheckOut(len, sizeof out);
            break;
        case 2:
            UDS_enWriteDataByIdentifier(UDS_WDBI_PROGRAMMING_DATE, params, 3);
            break;
        case 3:
            UDS_enRoutineControl(UDS_RC_START_ROUTINE, UDS_RID_CHECK_PROGRAMMING_PRECONDITIONS, nullptr, 0, out, &len);
            CheckOut(len, sizeof out);
            break;
        case 4:
            UDS_enSecurityAccess(UDS_SA_REQUEST_SEED, nullptr, 0, out, &len);
            CheckOut(len, sizeof out);
            break;
        case 5:
            UDS_enRequestDownload(params, sizeof params, out, &len);
            CheckOut(len, sizeof out);
            break;
        case 6:
            UDS_enTransferData(1, block.data(), 64);
            UDS_enRequestTransferExit();
            UDS_enECUReset(UDS_RESET_HARD);
            break;
        case 7:
            UDS_enControlDTCSettingFunc(UDS_DTC_SETTING_OFF);
            UDS_enCommunicationControlFunc(UDS_COMM_CTRL_ENABLE_RX_DISABLE_TX);
            UDS_enDiagnosticSessionControlFunc(UDS_DIAG_SESSION_EXTENDED);
            UDS_enTesterPresentPhy(UDS_SUPPRESS_POS_RESP_OFF);
            break;
        case 8: {
            const uint8_t program[] = {0x68, 0x05, 0x81, 0x4A, 0x05, 0x87, 0x5A, 0x3C, 0x96, 0xE1, 0x49, 0x4C};
            UDS_boDoSA2Access(program, sizeof program);
            break;
        }
        case 9:
            UDS_boDoTransferDataBlock(0x44, 0x00, 0x00010000, static_cast<uint32_t>(block.size()), false, block.data(),
                                      static_cast<uint32_t>(block.size()));
            break;
        case 10:
            UDS_boDoEraseMemory(0x44, 0x00010000, 0x400);
            break;
        case 11:
            UDS_boDoCheckMemory(0x44, 0x00010000, 0x400, 4, params);
            UDS_boDoCheckMemory_v200(4, params);
            break;
        case 12:
            UDS_boDoUpdateExecution(0x01, 0x02, 0x03);
            UDS_boDoCheckProgrammingPreConditions();
            UDS_boDoCheckProgrammingDependencies();
            break;
        case 13:
            // The sequencer's identification reading: texts, key type, programming
            // information, block versions and fingerprints.
            FLASH__vResetIdents();
            FLASH__boReadIdentifications();
            FLASH__boReadIdent_VWECUHardwareNumber();
            FLASH__boReadIdent_VWECUHardwareVersionNumber();
            CheckIdents();
            break;
        default:
            break;
    }
}

constexpr int kOperations = 14;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool once = [] {
        Configure({});
        return true;
    }();
    (void)once;
    if (size == 0) return 0;

    const uint8_t control = data[0];
    script = Script{data + 1, size - 1, 0, (control & 0x10) != 0};
    UDS__vResetForTest();
    UDS_vSetTransportOverride(&kTransport);
    UDS__vSetSleepHookForTest([](uint32_t) {});
    if (!UDS_boInit()) __builtin_trap();
    UDS_BUF_MAX = (control & 0x80) ? 0xFFFF : 4096;

    const int first = (control & 0x0F) % kOperations;
    for (int i = 0; i < kOperations; ++i) Operation((first + i) % kOperations);
    UDS_vDeinit();
    UDS__vResetForTest();
    FLASH__vResetIdents();
    LOG_vFlush();
    return 0;
}
