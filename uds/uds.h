// UDS client of the flasher: request engine, services, flash transfer routines, SA2 access.
// Every request goes through one engine with P2/P2*/P3 timing and response-pending handling;
// the transport (CAN or DoIP) is bound once by UDS_boInit. All functions: main thread only,
// except UDS_enTesterPresentFunc (also called by the DoIP tester-present worker).
//
// Output buffers: where a service copies answer bytes to the caller (out pointer plus
// pointer to a 16-bit length), the length holds the capacity of `out` on entry and the
// number of bytes copied on return. An answer that does not fit is refused (result 6,
// logged) and nothing is written beyond the buffer. Without one of the two pointers nothing
// is copied.
#pragma once

#include <cstdint>

#include "uds/uds_transport.h"

// 0: the engine sets bit 0x80 of the sub-function and needs no answer; 1: answer required.
enum UDS_tenSupprPosResp {
    UDS_SUPPRESS_POS_RESP_ON = 0,
    UDS_SUPPRESS_POS_RESP_OFF = 1,
};

// Result of the engine and of every UDS_en service (callers test against 0 only).
enum UDS_tenResult {
    UDS_RES_OK = 0,
    UDS_RES_SEND_FAILED = 1,
    UDS_RES_PENDING_TIMEOUT = 2,
    UDS_RES_WRONG_RESPONSE = 4,
    UDS_RES_ERROR = 6,
    UDS_RES_BUSY_REPEAT = 7,  // internal: never leaves the engine
};

// Classification of one received message (see UDS_GetResponseHeader).
struct UDS_tstResponseHeader {
    uint8_t u8ServiceId;  // request's service id; rejected service of a 0x7F answer; 0xFF malformed
    uint8_t u8Positive;   // 1 positive answer, else 0
    uint8_t u8Nrc;        // negative response code, 0xFF when none
    uint8_t u8Reserved;
};

enum USD_tenDiagSession {
    UDS_DIAG_SESSION_PROGRAMMING = 0x02,
    UDS_DIAG_SESSION_EXTENDED = 0x03,
};

enum UDS_tenReadDataByIDIdent {
    UDS_RDBI_VW_SPARE_PART_NUMBER = 0xF187,
    UDS_RDBI_VW_APPL_SW_VERSION = 0xF189,
    UDS_RDBI_VW_ECU_HW_NUMBER = 0xF191,
    UDS_RDBI_VW_ECU_HW_VERSION = 0xF1A3,
    UDS_RDBI_VW_LOGICAL_SW_BLOCK_VERSION = 0xF1AB,
    UDS_RDBI_VW_BLOCK_FINGERPRINTS = 0xF15B,
    UDS_RDBI_FDS_PROJECT_DATA = 0xF1D5,
    UDS_RDBI_ECU_PROGRAMMING_INFO = 0xF1DF,
};

enum UDS_tenWriteDataByIDIdent {
    UDS_WDBI_FINGERPRINT = 0xF15A,        // 9 bytes: date (BCD y m d) + 6-char tester serial
    UDS_WDBI_PROGRAMMING_DATE = 0xF199,   // 3 bytes BCD y m d
    UDS_WDBI_TESTER_SERIAL_NUMBER = 0xF198,  // 6 bytes
};

enum UDS_tenRoutineCtrlType {
    UDS_RC_START_ROUTINE = 0x01,
    UDS_RC_REQUEST_ROUTINE_RESULTS = 0x03,
};

enum UDS_tenRoutineControl {
    UDS_RID_CHECK_MEMORY = 0x0202,
    UDS_RID_CHECK_PROGRAMMING_PRECONDITIONS = 0x0203,
    UDS_RID_ERASE_MEMORY = 0xFF00,
    UDS_RID_CHECK_PROGRAMMING_DEPENDENCIES = 0xFF01,
    UDS_RID_UPDATE_EXECUTION = 0xC010,
};

enum UDS_tenSecurityAccess {
    UDS_SA_REQUEST_SEED = 0x11,
    UDS_SA_SEND_KEY = 0x12,
};

enum UDS_tenControlDTCSetting {
    UDS_DTC_SETTING_ON = 0x01,
    UDS_DTC_SETTING_OFF = 0x02,
};

enum UDS_tenCommCtrlType {
    UDS_COMM_CTRL_ENABLE_RX_AND_TX = 0x00,
    UDS_COMM_CTRL_ENABLE_RX_DISABLE_TX = 0x01,
};

// ECU reset types for UDS_enECUReset.
constexpr uint8_t UDS_RESET_HARD = 0x01;
constexpr uint8_t UDS_RESET_KEY_OFF_ON = 0x02;

// Size of every request and response buffer of the services: 4096 with CAN, 65535 with DoIP.
extern uint16_t UDS_BUF_MAX;

// --- Engine -------------------------------------------------------------------------------
bool UDS_boInit();
void UDS_vDeinit();
void UDS_vClearRxBuffer();
bool UDS_boStartStream();
bool UDS_boStartTesterPresentCyclicFunc();
bool UDS_boStopTesterPresentCyclicFunc();
UDS_tenResult UDS_enTesterPresentFunc(UDS_tenSupprPosResp suppress);
UDS_tenResult UDS_enTesterPresentPhy(UDS_tenSupprPosResp suppress);
UDS_tstResponseHeader UDS_GetResponseHeader(const uint8_t* message, long length);

// --- Services (result 0 = success) --------------------------------------------------------
UDS_tenResult UDS_enDiagnosticSessionControl(USD_tenDiagSession session, UDS_tenSupprPosResp suppress);
UDS_tenResult UDS_enDiagnosticSessionControlFunc(USD_tenDiagSession session);
UDS_tenResult UDS_enReadDataByIdentifier(UDS_tenReadDataByIDIdent did, uint8_t* out, uint16_t* outLen);
UDS_tenResult UDS_enWriteDataByIdentifier(UDS_tenWriteDataByIDIdent did, const uint8_t* data, uint16_t length);
UDS_tenResult UDS_enRoutineControl(UDS_tenRoutineCtrlType type, UDS_tenRoutineControl rid, const uint8_t* data, uint16_t length, uint8_t* out, uint16_t* outLen);
UDS_tenResult UDS_enSecurityAccess(UDS_tenSecurityAccess type, const uint8_t* data, uint16_t length, uint8_t* out, uint16_t* outLen);
UDS_tenResult UDS_enRequestDownload(const uint8_t* params, uint16_t length, uint8_t* out, uint16_t* outLen);
UDS_tenResult UDS_enTransferData(uint8_t counter, const uint8_t* data, uint16_t length);
UDS_tenResult UDS_enRequestTransferExit();
UDS_tenResult UDS_enECUReset(uint8_t resetType);
UDS_tenResult UDS_enControlDTCSettingFunc(UDS_tenControlDTCSetting setting);
UDS_tenResult UDS_enCommunicationControlFunc(UDS_tenCommCtrlType control);

// --- Flash transfer routines (true = success) ---------------------------------------------
bool UDS_boDoTransferDataBlock(uint8_t alfid, uint8_t dfi, uint32_t address, uint32_t memSize, bool inFile, const uint8_t* data, uint32_t length);
bool UDS_boTransferMemory(const uint8_t* data, uint32_t length, uint32_t blockLength);
bool UDS_boTransferFile(const uint8_t* path, uint32_t length, uint32_t blockLength);
bool UDS_boDoEraseMemory(uint8_t alfid, uint32_t address, uint32_t size);
bool UDS_boDoCheckMemory(uint8_t alfid, uint32_t address, uint32_t size, uint16_t sigLen, const uint8_t* sig);
bool UDS_boDoCheckMemory_v200(uint16_t length, const uint8_t* data);
bool UDS_boDoUpdateExecution(uint8_t b0, uint8_t b1, uint8_t b2);
bool UDS_boDoCheckProgrammingPreConditions();
bool UDS_boDoCheckProgrammingDependencies();
void UDS_vWaitUntilECUConnected();
void UDS_vWaitUntilECUConnectedCAN();
void UDS_vWaitUntilECUConnectedDOIP();

// --- Security access: SA2 program of `length` bytes (as read from the ODX-F file) ---------
bool UDS_boDoSA2Access(const uint8_t* program, uint32_t length);
