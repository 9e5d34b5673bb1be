// Internals of the UDS client shared by its source files and its tests.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "uds/uds.h"

// The bound transport table (set by UDS_boInit; empty before).
extern bool (*IF_boInit)();
extern void (*IF_vDeinit)();
extern bool (*IF_boSendUDS)(IF_tenSocketType addressing, uint8_t* data, uint32_t length);
extern int (*IF_iReceive)(uint8_t sid, uint8_t* buffer, uint32_t capacity, int timeout_ms);
extern void (*IF_vClearRxBuffer)();
extern bool (*IF_boStartTesterPresentCyclicFunc)(uint8_t* frame, uint32_t length);
extern bool (*IF_boStopTesterPresentCyclicFunc)();
extern bool (*IF_boStartStream)();

// Timing in force: P2, P2* (both adopted from session control answers) and P3.
extern uint16_t IF__u16Timing_ms;
extern uint32_t IF__u32ExtTiming_ms;
extern int32_t IF__iP3_Client_Func_Phys_ms;

// Sends `request` (bit 0x80 of byte 1 is set when suppressed) and waits for its answer.
// *responseLength: capacity of `response` on entry, length of the last message on return.
UDS_tenResult UDS__enSendUDS(IF_tenSocketType addressing, uint8_t* request, uint32_t requestLength,
                             uint8_t* response, uint16_t* responseLength, UDS_tenSupprPosResp suppress);
UDS_tenResult processPendingResponses(uint8_t sid, uint8_t* response, uint16_t* length,
                                      UDS_tenSupprPosResp suppress, int timeout_ms);
std::string getNegativeResponseString(uint8_t nrc);
bool isTimeReached(int64_t startSec, int limitSec);
UDS_tenResult UDS__enTesterPresent(IF_tenSocketType addressing, UDS_tenSupprPosResp suppress);

// Most instructions one SA2 run may execute. Every program of up to 4096 bytes ends well
// within it (a loop repeats its body at most 255 times and only runs forward otherwise).
constexpr uint32_t UDS__SA2_MAX_STEPS = 1u << 21;

// Runs the SA2 program on `seed`; stops at an end opcode or at the end of the program bytes.
// *pboOk (when given) is false when the instruction bound was hit (then logged).
uint32_t UDS__u32SA1Job(uint32_t seed, const uint8_t* program, uint32_t length, bool* pboOk = nullptr);

// Sleeps `ms` milliseconds, going on after interruptions. Tests may replace it.
void UDS__vSleepMs(uint32_t ms);

// DoIP connection check used while waiting for the ECU (DOIPIF_isClusterConnected).
bool UDS__boIsClusterConnected();

// Test hooks: replace the sleep and the DoIP connection check; back to the product
// behaviour by passing nullptr or by UDS__vResetForTest.
void UDS__vSetSleepHookForTest(void (*hook)(uint32_t ms));
void UDS__vSetClusterConnectedHookForTest(bool (*hook)());
// Test-only: empty table, timings and buffer size as before UDS_boInit, no override or hooks.
void UDS__vResetForTest();
