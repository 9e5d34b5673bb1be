#include "flasher/cfg.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <type_traits>

#include "logging/log.h"

namespace {

std::string CFG__strCanChannel;
std::string CFG__strUseCanfd;
uint64_t CFG__u64EcuRespId;
uint64_t CFG__u64TesterPhyReqId;
uint64_t CFG__u64TesterFuncReqId;
int32_t CFG__i32SeperationTimeUSec;
uint8_t CFG__u8CanPaddingByte;
bool CFG__boUseDynamicFlowControl;
int32_t CFG__i32TesterPresentCycleTimeMSec;
std::string CFG__strTesterSerialNum;
int32_t CFG__i32ConnectLoop;
std::string CFG__strTargetIp;
uint16_t CFG__u16TargetPort;
std::string CFG__strSourceIp;
uint32_t CFG__u32RoutingActivationRetryDelay;
uint8_t CFG__u8DoipVersion;
uint16_t CFG__u16DoIPSrcAddress;
uint16_t CFG__u16DoIPPhyTgtAddress;
uint16_t CFG__u16DoIPFuncTgtAddress;
std::string CFG__strOdxFilename;
std::string CFG__strSigFilename;
std::string CFG__strTestOdxFilename;
std::string CFG__strDatflashPath;
int32_t CFG__i32SecurityAccessDelayMSec;
int CFG__iEcuResetMode;
bool CFG__boUseEth;
bool CFG__boOnlyReadIdents;
bool CFG__boDisableComCtrl;
bool CFG__boDisableExtendedSession;
bool CFG__boDisableFinalSWCheck;
std::string CFG__LogFilename;
int CFG__iDebugLevel;
bool CFG__boPartialFlashDisabled;
bool CFG__boForceUpdate;
bool CFG__boDisableCheckPrgPreCond;
bool CFG__boDisableWritePrgDateAndTestSerial;
std::string CFG__strConnectHook;
std::string CFG__strDisconnectHook;
int32_t CFG__i32CompletionTimeSec;
int CFG__iP3ClientMs;
int CFG__iP2ServerMs;
int CFG__iP2ExtServerMs;

// The ECU's default address: a fixed unique-local IPv6 address.
const char* const CFG__DEFAULT_TARGET_IP = "fd00:4b53:5452::1014";

void CFG__vSetDefaultValues() {
    CFG__strCanChannel = "canfd0";
    CFG__strUseCanfd.clear();
    CFG__u64EcuRespId = 0x77E;
    CFG__u64TesterPhyReqId = 0x714;
    CFG__u64TesterFuncReqId = 0x700;
    CFG__i32SeperationTimeUSec = -1;
    CFG__u8CanPaddingByte = 0xAA;
    CFG__boUseDynamicFlowControl = false;
    CFG__i32TesterPresentCycleTimeMSec = 2000;
    CFG__strTesterSerialNum = "000000";
    CFG__i32ConnectLoop = -1;
    CFG__strTargetIp = CFG__DEFAULT_TARGET_IP;
    CFG__u16TargetPort = 13400;
    CFG__strSourceIp.clear();
    CFG__u32RoutingActivationRetryDelay = 500;
    CFG__u8DoipVersion = 2;
    CFG__u16DoIPSrcAddress = 0x0E80;
    CFG__u16DoIPPhyTgtAddress = 0x1014;
    CFG__u16DoIPFuncTgtAddress = 0xE400;
    CFG__strOdxFilename.clear();
    CFG__strSigFilename.clear();
    CFG__strTestOdxFilename.clear();
    CFG__strDatflashPath = "/Orvanware/ECUs/Schalttafeleinsatz/datflash";
    CFG__i32SecurityAccessDelayMSec = 0;
    CFG__iEcuResetMode = 1;
    CFG__boUseEth = false;
    CFG__boOnlyReadIdents = false;
    CFG__boDisableComCtrl = false;
    CFG__boDisableExtendedSession = false;
    CFG__boDisableFinalSWCheck = false;
    CFG__LogFilename.clear();
    CFG__iDebugLevel = 0;
    CFG__boPartialFlashDisabled = false;
    CFG__boForceUpdate = false;
    CFG__boDisableCheckPrgPreCond = false;
    CFG__boDisableWritePrgDateAndTestSerial = false;
    CFG__strConnectHook.clear();
    CFG__strDisconnectHook.clear();
    CFG__i32CompletionTimeSec = 1800;
    CFG__iP3ClientMs = -1;
    CFG__iP2ServerMs = -1;
    CFG__iP2ExtServerMs = -1;
}

CFG_tstCanFdOpts llopts = {0, 0, 0};
bool b_isParsed = false;

// Rejects a negative number for an unsigned option, which the conversion would otherwise
// wrap around to a huge value for 64-bit options.
const CLI::Validator CFG__NotNegative(
    [](std::string& value) {
        const std::size_t first = value.find_first_not_of(" \t");
        return first != std::string::npos && value[first] == '-' ? std::string("negative value: " + value)
                                                                  : std::string();
    },
    "");

// Value options accept repetition (the last value wins); the dump reports the count.
template <typename T>
CLI::Option* CFG__addOption(CLI::App& app, const char* name, T& var, const char* help) {
    CLI::Option* opt = app.add_option(name, var, help)->take_last();
    if constexpr (std::is_unsigned<T>::value) opt->check(CFG__NotNegative);
    return opt;
}

void CFG__vDumpParameters(const CLI::App& app) {
    LOG_vDebug_1("Parameters:");
    for (const CLI::Option* opt : app.get_options()) {
        if (opt == app.get_help_ptr() || opt == app.get_version_ptr()) continue;
        if (opt->get_lnames().empty()) continue;
        const std::string name = opt->get_lnames().front();
        const std::size_t count = opt->count();
        std::string line = "  Param:" + name;
        if (opt->get_expected_min() != 0) {
            if (count == 0) continue;
            if (count == 1) line += " Val:" + opt->results().front();
            else line += " ValCnt:" + std::to_string(count);
        } else {
            if (count == 0) line += " Flag:false";
            else if (count == 1) line += " Flag:true";
            else line += " FlagCnt:" + std::to_string(count);
        }
        LOG_vDebug_1("%s", line.c_str());
    }
}

}  // namespace

int CFG_enInit(int argc, char** argv, const char* version) {
    CFG__vSetDefaultValues();
    llopts = {0, 0, 0};
    b_isParsed = false;

    CLI::App app{"Flash ODX/PDX files over CAN or Ethernet"};
    app.set_help_flag("-h,--help", "print help");
    app.set_version_flag("--version", std::string(version), "Display program version information and exit");

    CFG__addOption(app, "--tester_serial_number", CFG__strTesterSerialNum, "6 byte tester serial number for fingerprint");
    CFG__addOption(app, "--connect_loop", CFG__i32ConnectLoop,
                   "initial connection test (0: endless, -1: disabled, 1-x: limited loops)")
        ->check(CLI::Range(-1, 1000));
    CFG__addOption(app, "--can_channel", CFG__strCanChannel, "can channel name to be used");
    CFG__addOption(app, "--use_canfd", CFG__strUseCanfd, "use CanFD, <mtu>:<tx_dl>:<tx_flags> link layer options");
    CFG__addOption(app, "--ecu_resp_id", CFG__u64EcuRespId, "can identifier for ECU response, std or ext\nDefault: 0x77E");
    CFG__addOption(app, "--tester_phy_req_id", CFG__u64TesterPhyReqId,
                   "can identifier for tester physical request, std or ext\nDefault: 0x714");
    CFG__addOption(app, "--tester_func_req_id", CFG__u64TesterFuncReqId,
                   "can identifier for tester functional request, std or ext\nDefault: 0x700");
    CFG__addOption(app, "--can_padding_byte", CFG__u8CanPaddingByte, "can padding byte used for iso-tp\nDefault: 0xAA");
    app.add_flag("--can_dynamic_flow_control", CFG__boUseDynamicFlowControl,
                 "enable support for dynamic flow control in iso/tp");
    CFG__addOption(app, "--tester_present_cycletime_msec", CFG__i32TesterPresentCycleTimeMSec,
                   "cycletime for sending tester present in ms (0 = disabled)");
    CFG__addOption(app, "--seperation_time_usec", CFG__i32SeperationTimeUSec,
                   "Separation time between two CAN frames (N_As/N_Ar) in us\nDefault: -1=Disabled");
    CFG__addOption(app, "--completion_time_sec", CFG__i32CompletionTimeSec, "Time to complete UDS operation");
    CFG__addOption(app, "--p3_client", CFG__iP3ClientMs, "p3_client timeout in milliseconds");
    CFG__addOption(app, "--p2_server", CFG__iP2ServerMs, "p2_server timeout in milliseconds");
    CFG__addOption(app, "--p2_ext_server", CFG__iP2ExtServerMs, "p2_ext_server timeout in milliseconds");
    app.add_flag("--use_eth", CFG__boUseEth,
                 "uses Ethernet interface if parameter given, uses can if parameter not given");
    CFG__addOption(app, "--target_ip", CFG__strTargetIp, "ip of ECU to flash, IPv4 or IPv6 possible");
    CFG__addOption(app, "--target_port", CFG__u16TargetPort, "port for Ethernet communication");
    CFG__addOption(app, "--source_ip", CFG__strSourceIp,
                   "ip which is used to send, IPv4 or IPv6 possible\nDefault: none");
    CFG__addOption(app, "--routing_activation_retry_delay", CFG__u32RoutingActivationRetryDelay,
                   "time between two routing activations in milliseconds");
    CFG__addOption(app, "--doip_version", CFG__u8DoipVersion, "doip version\nDefault: 2");
    CFG__addOption(app, "--source_address", CFG__u16DoIPSrcAddress, "DoIP address of tester\nDefault: 0x0E80");
    CFG__addOption(app, "--phy_target_address", CFG__u16DoIPPhyTgtAddress,
                   "DoIP physical address of ECU to flash\nDefault: 0x1014");
    CFG__addOption(app, "--func_target_address", CFG__u16DoIPFuncTgtAddress,
                   "DoIP functional address\nDefault: 0xE400");
    CFG__addOption(app, "--odx_file", CFG__strOdxFilename, "Force this ODX/ODX-F File to be flashed");
    CFG__addOption(app, "--sig_file", CFG__strSigFilename, "Use Signatures from this Filename");
    CFG__addOption(app, "--datflash_path", CFG__strDatflashPath, "Root path for ODX/PDX files");
    app.add_flag("--disable_partial_flash", CFG__boPartialFlashDisabled,
                 "flash every partition in the flashfile even if block versions are up to date.\n"
                 "reading of VW software block version numbers will be skipped");
    app.add_flag("--disable_prog_pre_cond", CFG__boDisableCheckPrgPreCond,
                 "disables checking the programming preconditions");
    app.add_flag("--disable_prog_date_serial", CFG__boDisableWritePrgDateAndTestSerial,
                 "disables writing of programming and tester serial");
    app.add_flag("--force_update", CFG__boForceUpdate,
                 "force flashing even if software version is up to date, also disables partial flashing");
    CFG__addOption(app, "--security_access_delay_msec", CFG__i32SecurityAccessDelayMSec,
                   "loader bugfix: msec to wait before security access");
    CFG__addOption(app, "--ECU_reset_mode", CFG__iEcuResetMode,
                   "reset mode to perform\n(0=No Reset, 1=11 01, 2=11 02, 3=11 01 no response required, "
                   "4=11 02 no response required)")
        ->check(CLI::Range(0, 4));
    app.add_flag("--disable_comm_ctrl", CFG__boDisableComCtrl, "Disable Communication Control and Control DTC Settings");
    app.add_flag("--disable_extended_session", CFG__boDisableExtendedSession,
                 "Disable jumping to extended session prior to programming and disables check programming "
                 "preconditions");
    app.add_flag("--disable_final_swcheck", CFG__boDisableFinalSWCheck,
                 "Disable checking if the Software Version and Block Number Versions match the ones from ODX file "
                 "after programming");
    CFG__addOption(app, "--connect_hook", CFG__strConnectHook,
                   "Run this hook script to detect if cluster is connected instead of vehicle identification request");
    CFG__addOption(app, "--disconnect_hook", CFG__strDisconnectHook,
                   "This hook script is run if the cluster got disconnected");
    app.add_flag("--read_idents", CFG__boOnlyReadIdents,
                 "This will only read identifications, but will not actually flash");
    CFG__addOption(app, "--test_odx_file", CFG__strTestOdxFilename, "Print Information parsed from the given ODX/ODX-F");
    CFG__addOption(app, "--logfile", CFG__LogFilename, "setup log filename\nDefault: stdout");
    app.add_flag("-v", CFG__iDebugLevel, "print extra debug informations to log, up to -vvv");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        app.exit(e);
        std::cout.flush();
        LOG_vFileText(
            "Return Codes:\n"
            "   0) Programming Okay\n"
            "   1) No Update of this Software is needed\n"
            "   2) Config Init failed\n"
            "   3) Flash Init failed\n"
            "   4) Problem with the flashfile\n"
            "   5) Error while flashing\n"
            "   6) Checking dependencies failed\n"
            "   7) Performing reset failed\n"
            "   8) Error while doing post processing\n"
            "   9) Flashfile has more Blocks than ECU\n");
        return 1;
    } catch (const CLI::CallForVersion& e) {
        app.exit(e);
        return 1;
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }

    LOG_SetFilename(CFG__LogFilename);
    CFG__vDumpParameters(app);

    const char* failure = nullptr;
    if (CFG__iDebugLevel > 3) {
        failure = "Verbosity flag can be -v, -vv or -vvv\n";
    } else if (CFG__strTesterSerialNum.size() != 6) {
        failure = "The tester serial Number must be 6 Byte long\n";
    }
    if (failure != nullptr) {
        // The parameter dump is written first, so that it stands before the message.
        LOG_vFlush();
        std::fputs(failure, stdout);
        std::fflush(stdout);
        return 2;
    }
    return 0;
}

bool CFG_boUseCanFD() { return !CFG__strUseCanfd.empty(); }
bool CFG_boUseDynamicFlowControl() { return CFG__boUseDynamicFlowControl; }

CFG_tstCanFdOpts* CFG_pstGetCanFDOpts() {
    if (b_isParsed || CFG__strUseCanfd.empty()) return &llopts;
    const int n = std::sscanf(CFG__strUseCanfd.c_str(), "%hhu:%hhu:%hhu", &llopts.mtu, &llopts.tx_dl, &llopts.tx_flags);
    if (n == 3) {
        LOG_vDebug_1("CFG: mtu: %d, tx_dl: %d, flags: %d", llopts.mtu, llopts.tx_dl, llopts.tx_flags);
        b_isParsed = true;
    } else {
        LOG_vDebug_1("CFG: Unable to decode canfd options!");
    }
    return &llopts;
}

const char* CFG_pcGetCanChannel() { return CFG__strCanChannel.c_str(); }
uint64_t CFG_u64GetECURespId() { return CFG__u64EcuRespId; }
uint64_t CFG_u64GetTesterPhyReqId() { return CFG__u64TesterPhyReqId; }
uint64_t CFG_u64GetTesterFuncReqId() { return CFG__u64TesterFuncReqId; }
int32_t CFG_i32GetTxSTMinUSec() { return CFG__i32SeperationTimeUSec; }
uint8_t CFG_u8GetCanPaddingByte() { return CFG__u8CanPaddingByte; }
bool CFG_boIsUseEthRequest() { return CFG__boUseEth; }
bool CFG_boOnlyReadIdents() { return CFG__boOnlyReadIdents; }
int32_t CFG_i32GetTesterPresentCycleTimeMSec() { return CFG__i32TesterPresentCycleTimeMSec; }
bool CFG_boTesterPresentEnabled() { return CFG__i32TesterPresentCycleTimeMSec > 0; }
int32_t CFG_i32CompletionTimeSec() { return CFG__i32CompletionTimeSec; }
uint16_t CFG_u16GetTargetPort() { return CFG__u16TargetPort; }
uint16_t CFG_u16GetDoIPSrcAddress() { return CFG__u16DoIPSrcAddress; }
uint16_t CFG_u16GetDoIPPhyTgtAddress() { return CFG__u16DoIPPhyTgtAddress; }
uint16_t CFG_u16GetDoIPFuncTgtAddress() { return CFG__u16DoIPFuncTgtAddress; }
uint8_t CFG_u8GetDoIPVersion() { return CFG__u8DoipVersion; }
uint32_t CFG_u32GetRoutingActivationRetryDelay() { return CFG__u32RoutingActivationRetryDelay; }
const char* CFG_pcGetTargetIP() { return CFG__strTargetIp.c_str(); }
const char* CFG_pcGetSourceIP() { return CFG__strSourceIp.c_str(); }
const char* CFG_pcGetConnectHook() { return CFG__strConnectHook.c_str(); }
const char* CFG_pcGetDisconnectHook() { return CFG__strDisconnectHook.c_str(); }
int CFG_iGetECUResetMode() { return CFG__iEcuResetMode; }
int32_t CFG_i32GetConnectLoopValue() { return CFG__i32ConnectLoop; }
int32_t CFG_i32GetSecurityAccessDelay() { return CFG__i32SecurityAccessDelayMSec; }
bool CFG_boComCtrlDisabled() { return CFG__boDisableComCtrl; }
bool CFG_boExtendedSessionDisabled() { return CFG__boDisableExtendedSession; }
bool CFG_boDisableFinalSWCheck() { return CFG__boDisableFinalSWCheck; }
bool CFG_boPartialFlashDisabled() { return CFG__boPartialFlashDisabled; }
bool CFG_boForceUpdate() { return CFG__boForceUpdate; }
bool CFG_boDisableCheckPrgPreCond() { return CFG__boDisableCheckPrgPreCond; }
bool CFG_boDisableWritePrgDateAndTestSerial() { return CFG__boDisableWritePrgDateAndTestSerial; }
std::string CFG_LogFilename() { return CFG__LogFilename; }
int CFG_iGetDebugLevel() { return CFG__iDebugLevel; }
std::string CFG_strGetOdxFilename() { return CFG__strOdxFilename; }
std::string CFG_strGetSigFilename() { return CFG__strSigFilename; }
std::string CFG_strGetTestOdxFilename() { return CFG__strTestOdxFilename; }
std::string CFG_strGetDatflashPath() { return CFG__strDatflashPath; }
const char* CFG_pcGetTesterSerialNumber() { return CFG__strTesterSerialNum.c_str(); }
int CFG_iP3ClientMs() { return CFG__iP3ClientMs; }
int CFG_iP2ClientMs() { return CFG__iP2ServerMs; }
int CFG_iP2ExtClientMs() { return CFG__iP2ExtServerMs; }
