// Every setting of kestrum_flasher, parsed from the command line once by CFG_enInit.
#pragma once

#include <cstdint>
#include <string>

// CAN FD link-layer options decoded from --use_canfd ("<mtu>:<tx_dl>:<tx_flags>").
struct CFG_tstCanFdOpts {
    uint8_t mtu;
    uint8_t tx_dl;
    uint8_t tx_flags;
};

// 0: go on, 1: stop with exit code 0 (help or version printed), 2: configuration error.
int CFG_enInit(int argc, char** argv, const char* version);

bool CFG_boUseCanFD();
bool CFG_boUseDynamicFlowControl();
CFG_tstCanFdOpts* CFG_pstGetCanFDOpts();
const char* CFG_pcGetCanChannel();
uint64_t CFG_u64GetECURespId();
uint64_t CFG_u64GetTesterPhyReqId();
uint64_t CFG_u64GetTesterFuncReqId();
int32_t CFG_i32GetTxSTMinUSec();
uint8_t CFG_u8GetCanPaddingByte();
bool CFG_boIsUseEthRequest();
bool CFG_boOnlyReadIdents();
int32_t CFG_i32GetTesterPresentCycleTimeMSec();
bool CFG_boTesterPresentEnabled();
int32_t CFG_i32CompletionTimeSec();
uint16_t CFG_u16GetTargetPort();
uint16_t CFG_u16GetDoIPSrcAddress();
uint16_t CFG_u16GetDoIPPhyTgtAddress();
uint16_t CFG_u16GetDoIPFuncTgtAddress();
uint8_t CFG_u8GetDoIPVersion();
uint32_t CFG_u32GetRoutingActivationRetryDelay();
const char* CFG_pcGetTargetIP();
const char* CFG_pcGetSourceIP();
const char* CFG_pcGetConnectHook();
const char* CFG_pcGetDisconnectHook();
int CFG_iGetECUResetMode();
int32_t CFG_i32GetConnectLoopValue();
int32_t CFG_i32GetSecurityAccessDelay();
bool CFG_boComCtrlDisabled();
bool CFG_boExtendedSessionDisabled();
bool CFG_boDisableFinalSWCheck();
bool CFG_boPartialFlashDisabled();
bool CFG_boForceUpdate();
bool CFG_boDisableCheckPrgPreCond();
bool CFG_boDisableWritePrgDateAndTestSerial();
std::string CFG_LogFilename();
int CFG_iGetDebugLevel();
std::string CFG_strGetOdxFilename();
std::string CFG_strGetSigFilename();
std::string CFG_strGetTestOdxFilename();
std::string CFG_strGetDatflashPath();
const char* CFG_pcGetTesterSerialNumber();
int CFG_iP3ClientMs();
int CFG_iP2ClientMs();
int CFG_iP2ExtClientMs();
