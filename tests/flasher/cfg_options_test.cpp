// Command-line configuration in process: defaults, every option's value, range and type
// checks, cross-checks, the parameter dump and the CAN FD option decoding.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "flasher/cfg.h"
#include "support/log_capture.h"
#include "support/log_lines.h"

using testsupport::readFile;
using testsupport::splitLines;
using testsupport::TempDir;

namespace {

int parse(std::vector<std::string> args) {
    args.insert(args.begin(), "kestrum_flasher");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return CFG_enInit(static_cast<int>(args.size()), argv.data(), "Kestrum Flasher test banner");
}

// Parses with --logfile and returns the messages of the log lines (headers removed).
std::vector<std::string> parseAndDump(std::vector<std::string> args, int expectedResult) {
    TempDir dir;
    const std::string log = dir.file("cfg.log");
    args.push_back("--logfile");
    args.push_back(log);
    EXPECT_EQ(parse(args), expectedResult);
    LOG_SetFilename("");  // writes and closes the file
    std::vector<std::string> msgs;
    for (const auto& line : splitLines(readFile(log))) {
        EXPECT_NE(line.find(": [DBG1   ] [KSTRMF] "), std::string::npos) << line;
        msgs.push_back(testsupport::logMessage(line));
    }
    return msgs;
}

const std::vector<std::string> kFlagNames{
    "can_dynamic_flow_control", "use_eth",           "disable_partial_flash",    "disable_prog_pre_cond",
    "disable_prog_date_serial", "force_update",      "disable_comm_ctrl",        "disable_extended_session",
    "disable_final_swcheck",    "read_idents",
};

class CfgTest : public ::testing::Test {
protected:
    void TearDown() override { LOG_SetFilename(""); }
};

}  // namespace

TEST_F(CfgTest, DefaultsWithoutArguments) {
    ASSERT_EQ(parse({}), 0);
    EXPECT_STREQ(CFG_pcGetCanChannel(), "canfd0");
    EXPECT_FALSE(CFG_boUseCanFD());
    EXPECT_EQ(CFG_u64GetECURespId(), 0x77Eu);
    EXPECT_EQ(CFG_u64GetTesterPhyReqId(), 0x714u);
    EXPECT_EQ(CFG_u64GetTesterFuncReqId(), 0x700u);
    EXPECT_EQ(CFG_i32GetTxSTMinUSec(), -1);
    EXPECT_EQ(CFG_u8GetCanPaddingByte(), 0xAA);
    EXPECT_FALSE(CFG_boUseDynamicFlowControl());
    EXPECT_EQ(CFG_i32GetTesterPresentCycleTimeMSec(), 2000);
    EXPECT_TRUE(CFG_boTesterPresentEnabled());
    EXPECT_STREQ(CFG_pcGetTesterSerialNumber(), "000000");
    EXPECT_EQ(CFG_i32GetConnectLoopValue(), -1);
    const std::string ip = CFG_pcGetTargetIP();
    EXPECT_TRUE(ip.rfind("fd", 0) == 0 || ip.rfind("fc", 0) == 0) << "unique-local IPv6: " << ip;
    EXPECT_EQ(CFG_u16GetTargetPort(), 13400);
    EXPECT_STREQ(CFG_pcGetSourceIP(), "");
    EXPECT_EQ(CFG_u32GetRoutingActivationRetryDelay(), 500u);
    EXPECT_EQ(CFG_u8GetDoIPVersion(), 2);
    EXPECT_EQ(CFG_u16GetDoIPSrcAddress(), 0x0E80);
    EXPECT_EQ(CFG_u16GetDoIPPhyTgtAddress(), 0x1014);
    EXPECT_EQ(CFG_u16GetDoIPFuncTgtAddress(), 0xE400);
    EXPECT_EQ(CFG_strGetOdxFilename(), "");
    EXPECT_EQ(CFG_strGetSigFilename(), "");
    EXPECT_EQ(CFG_strGetTestOdxFilename(), "");
    EXPECT_EQ(CFG_strGetDatflashPath(), "/Orvanware/ECUs/Schalttafeleinsatz/datflash");
    EXPECT_EQ(CFG_i32GetSecurityAccessDelay(), 0);
    EXPECT_EQ(CFG_iGetECUResetMode(), 1);
    EXPECT_FALSE(CFG_boIsUseEthRequest());
    EXPECT_FALSE(CFG_boOnlyReadIdents());
    EXPECT_FALSE(CFG_boComCtrlDisabled());
    EXPECT_FALSE(CFG_boExtendedSessionDisabled());
    EXPECT_FALSE(CFG_boDisableFinalSWCheck());
    EXPECT_EQ(CFG_LogFilename(), "");
    EXPECT_EQ(CFG_iGetDebugLevel(), 0);
    EXPECT_FALSE(CFG_boPartialFlashDisabled());
    EXPECT_FALSE(CFG_boForceUpdate());
    EXPECT_FALSE(CFG_boDisableCheckPrgPreCond());
    EXPECT_FALSE(CFG_boDisableWritePrgDateAndTestSerial());
    EXPECT_STREQ(CFG_pcGetConnectHook(), "");
    EXPECT_STREQ(CFG_pcGetDisconnectHook(), "");
    EXPECT_EQ(CFG_i32CompletionTimeSec(), 1800);
    EXPECT_EQ(CFG_iP3ClientMs(), -1);
    EXPECT_EQ(CFG_iP2ClientMs(), -1);
    EXPECT_EQ(CFG_iP2ExtClientMs(), -1);
}

TEST_F(CfgTest, EveryOptionReachesItsGetter) {
    struct Case {
        std::vector<std::string> args;
        std::function<bool()> check;
    };
    const Case cases[] = {
        {{"--tester_serial_number", "AB12cd"}, [] { return std::string(CFG_pcGetTesterSerialNumber()) == "AB12cd"; }},
        {{"--connect_loop", "0"}, [] { return CFG_i32GetConnectLoopValue() == 0; }},
        {{"--connect_loop", "1000"}, [] { return CFG_i32GetConnectLoopValue() == 1000; }},
        {{"--connect_loop", "-1"}, [] { return CFG_i32GetConnectLoopValue() == -1; }},
        {{"--can_channel", "can0"}, [] { return std::string(CFG_pcGetCanChannel()) == "can0"; }},
        {{"--use_canfd", "72:64:1"}, [] { return CFG_boUseCanFD(); }},
        {{"--ecu_resp_id", "0x18DAF110"}, [] { return CFG_u64GetECURespId() == 0x18DAF110u; }},
        {{"--ecu_resp_id", "0x1FFFFFFF"}, [] { return CFG_u64GetECURespId() == 0x1FFFFFFFu; }},
        {{"--tester_phy_req_id", "0x18DA10F1"}, [] { return CFG_u64GetTesterPhyReqId() == 0x18DA10F1u; }},
        {{"--tester_func_req_id", "2015"}, [] { return CFG_u64GetTesterFuncReqId() == 2015u; }},
        {{"--can_padding_byte", "0x55"}, [] { return CFG_u8GetCanPaddingByte() == 0x55; }},
        {{"--can_padding_byte", "255"}, [] { return CFG_u8GetCanPaddingByte() == 255; }},
        {{"--can_dynamic_flow_control"}, [] { return CFG_boUseDynamicFlowControl(); }},
        {{"--tester_present_cycletime_msec", "0"},
         [] { return CFG_i32GetTesterPresentCycleTimeMSec() == 0 && !CFG_boTesterPresentEnabled(); }},
        {{"--tester_present_cycletime_msec", "-5"}, [] { return !CFG_boTesterPresentEnabled(); }},
        {{"--seperation_time_usec", "300"}, [] { return CFG_i32GetTxSTMinUSec() == 300; }},
        {{"--completion_time_sec", "60"}, [] { return CFG_i32CompletionTimeSec() == 60; }},
        {{"--p3_client", "010"}, [] { return CFG_iP3ClientMs() == 8; }},  // leading zero: octal
        {{"--p2_server", "50"}, [] { return CFG_iP2ClientMs() == 50; }},
        {{"--p2_ext_server", "5000"}, [] { return CFG_iP2ExtClientMs() == 5000; }},
        {{"--use_eth"}, [] { return CFG_boIsUseEthRequest(); }},
        {{"--target_ip", "192.0.2.7"}, [] { return std::string(CFG_pcGetTargetIP()) == "192.0.2.7"; }},
        {{"--target_port", "65535"}, [] { return CFG_u16GetTargetPort() == 65535; }},
        {{"--source_ip", "::1"}, [] { return std::string(CFG_pcGetSourceIP()) == "::1"; }},
        {{"--routing_activation_retry_delay", "100"}, [] { return CFG_u32GetRoutingActivationRetryDelay() == 100u; }},
        {{"--doip_version", "3"}, [] { return CFG_u8GetDoIPVersion() == 3; }},
        {{"--source_address", "0x0E81"}, [] { return CFG_u16GetDoIPSrcAddress() == 0x0E81; }},
        {{"--phy_target_address", "0x4010"}, [] { return CFG_u16GetDoIPPhyTgtAddress() == 0x4010; }},
        {{"--func_target_address", "0xE401"}, [] { return CFG_u16GetDoIPFuncTgtAddress() == 0xE401; }},
        {{"--odx_file", "a.odx"}, [] { return CFG_strGetOdxFilename() == "a.odx"; }},
        {{"--sig_file", "s.sig"}, [] { return CFG_strGetSigFilename() == "s.sig"; }},
        {{"--datflash_path", "/tmp/df"}, [] { return CFG_strGetDatflashPath() == "/tmp/df"; }},
        {{"--disable_partial_flash"}, [] { return CFG_boPartialFlashDisabled(); }},
        {{"--disable_prog_pre_cond"}, [] { return CFG_boDisableCheckPrgPreCond(); }},
        {{"--disable_prog_date_serial"}, [] { return CFG_boDisableWritePrgDateAndTestSerial(); }},
        {{"--force_update"}, [] { return CFG_boForceUpdate(); }},
        {{"--security_access_delay_msec", "250"}, [] { return CFG_i32GetSecurityAccessDelay() == 250; }},
        {{"--ECU_reset_mode", "0"}, [] { return CFG_iGetECUResetMode() == 0; }},
        {{"--ECU_reset_mode", "4"}, [] { return CFG_iGetECUResetMode() == 4; }},
        {{"--disable_comm_ctrl"}, [] { return CFG_boComCtrlDisabled(); }},
        {{"--disable_extended_session"}, [] { return CFG_boExtendedSessionDisabled(); }},
        {{"--disable_final_swcheck"}, [] { return CFG_boDisableFinalSWCheck(); }},
        {{"--connect_hook", "/bin/true"}, [] { return std::string(CFG_pcGetConnectHook()) == "/bin/true"; }},
        {{"--disconnect_hook", "/bin/false x"}, [] { return std::string(CFG_pcGetDisconnectHook()) == "/bin/false x"; }},
        {{"--read_idents"}, [] { return CFG_boOnlyReadIdents(); }},
        {{"--test_odx_file", "t.odx"}, [] { return CFG_strGetTestOdxFilename() == "t.odx"; }},
        {{"-v"}, [] { return CFG_iGetDebugLevel() == 1; }},
        {{"-vv"}, [] { return CFG_iGetDebugLevel() == 2; }},
        {{"-vvv"}, [] { return CFG_iGetDebugLevel() == 3; }},
        {{"-v", "-v", "-v"}, [] { return CFG_iGetDebugLevel() == 3; }},
        {{"-vv", "-v"}, [] { return CFG_iGetDebugLevel() == 3; }},
        {{"--can_channel=vcan1"}, [] { return std::string(CFG_pcGetCanChannel()) == "vcan1"; }},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.args) joined += a + " ";
        EXPECT_EQ(parse(c.args), 0) << joined;
        EXPECT_TRUE(c.check()) << joined;
    }
}

TEST_F(CfgTest, LogfileOptionNamesTheLog) {
    TempDir dir;
    ASSERT_EQ(parse({"--logfile", dir.file("x.log")}), 0);
    EXPECT_EQ(CFG_LogFilename(), dir.file("x.log"));
}

TEST_F(CfgTest, DefaultsDoNotDependOnAnEarlierParse) {
    ASSERT_EQ(parse({"--can_channel", "can7", "--use_eth", "-vv", "--ECU_reset_mode", "3"}), 0);
    ASSERT_EQ(parse({}), 0);
    EXPECT_STREQ(CFG_pcGetCanChannel(), "canfd0");
    EXPECT_FALSE(CFG_boIsUseEthRequest());
    EXPECT_EQ(CFG_iGetDebugLevel(), 0);
    EXPECT_EQ(CFG_iGetECUResetMode(), 1);
}

TEST_F(CfgTest, ParseErrorsGiveResult2) {
    const std::vector<std::vector<std::string>> cases = {
        {"--ECU_reset_mode", "5"},
        {"--ECU_reset_mode", "-1"},
        {"--connect_loop", "1001"},
        {"--connect_loop", "-2"},
        {"--can_padding_byte", "256"},
        {"--can_padding_byte", "0x100"},
        {"--doip_version", "256"},
        {"--target_port", "65536"},
        {"--source_address", "0x10000"},
        {"--completion_time_sec", "4294967296"},
        {"--p3_client", "ten"},
        {"--ecu_resp_id", "0x1FFFFFFFZ"},
        {"--ecu_resp_id", "-1"},
        {"--tester_phy_req_id", " -0x714"},
        {"--routing_activation_retry_delay", "-1"},
        {"--no_such_option"},
        {"--can_channel"},
        {"surplus"},
    };
    for (const auto& args : cases) {
        std::string joined;
        for (const auto& a : args) joined += a + " ";
        EXPECT_EQ(parse(args), 2) << joined;
    }
}

TEST_F(CfgTest, TesterSerialNumberMustHaveSixCharacters) {
    struct Case {
        const char* serial;
        int result;
    };
    const Case cases[] = {{"12345", 2}, {"1234567", 2}, {"", 2}, {"123456", 0}, {"abcDEF", 0}, {"a b-c.", 0}};
    for (const auto& c : cases) EXPECT_EQ(parse({"--tester_serial_number", c.serial}), c.result) << c.serial;
}

TEST_F(CfgTest, MoreThanThreeVerbosityFlagsAreRejected) {
    EXPECT_EQ(parse({"-vvvv"}), 2);
    EXPECT_EQ(parse({"-vv", "-vv"}), 2);
    EXPECT_EQ(parse({"-v", "-v", "-v", "-v"}), 2);
}

TEST_F(CfgTest, DumpWithoutArgumentsListsOnlyTheFlags) {
    std::vector<std::string> expected{"Parameters:"};
    // --logfile itself is given, so it is dumped in its place (the last option).
    for (const auto& f : kFlagNames) expected.push_back("  Param:" + f + " Flag:false");
    const std::vector<std::string> msgs = parseAndDump({}, 0);
    ASSERT_EQ(msgs.size(), expected.size() + 1);
    EXPECT_EQ(std::vector<std::string>(msgs.begin(), msgs.end() - 1), expected);
    EXPECT_EQ(msgs.back().rfind("  Param:logfile Val:/", 0), 0u) << msgs.back();
}

TEST_F(CfgTest, DumpLinesInDefinitionOrder) {
    const std::vector<std::string> msgs = parseAndDump(
        {"--read_idents", "--can_channel", "can0", "--use_eth", "--use_eth", "--connect_loop", "5", "--connect_loop",
         "7", "--ecu_resp_id", "0x18DAF110", "-vv", "--tester_serial_number", "ABCDEF", "--ECU_reset_mode=0"},
        0);
    const std::vector<std::string> expected{
        "Parameters:",
        "  Param:tester_serial_number Val:ABCDEF",
        "  Param:connect_loop ValCnt:2",
        "  Param:can_channel Val:can0",
        "  Param:ecu_resp_id Val:0x18DAF110",
        "  Param:can_dynamic_flow_control Flag:false",
        "  Param:use_eth FlagCnt:2",
        "  Param:disable_partial_flash Flag:false",
        "  Param:disable_prog_pre_cond Flag:false",
        "  Param:disable_prog_date_serial Flag:false",
        "  Param:force_update Flag:false",
        "  Param:ECU_reset_mode Val:0",
        "  Param:disable_comm_ctrl Flag:false",
        "  Param:disable_extended_session Flag:false",
        "  Param:disable_final_swcheck Flag:false",
        "  Param:read_idents Flag:true",
    };
    ASSERT_EQ(msgs.size(), expected.size() + 1);
    EXPECT_EQ(std::vector<std::string>(msgs.begin(), msgs.end() - 1), expected);
    EXPECT_EQ(CFG_i32GetConnectLoopValue(), 7) << "the last value wins";
}

TEST_F(CfgTest, DumpIsWrittenEvenWhenACrossCheckFails) {
    const std::vector<std::string> msgs = parseAndDump({"--tester_serial_number", "12345"}, 2);
    ASSERT_GE(msgs.size(), 2u);
    EXPECT_EQ(msgs[0], "Parameters:");
    EXPECT_EQ(msgs[1], "  Param:tester_serial_number Val:12345");
}

TEST_F(CfgTest, LongDumpLineIsCutAt199Characters) {
    const std::string hook(300, 'h');
    const std::vector<std::string> msgs = parseAndDump({"--connect_hook", hook}, 0);
    const std::string full = "  Param:connect_hook Val:" + hook;
    bool found = false;
    for (const auto& m : msgs) {
        if (m.rfind("  Param:connect_hook", 0) == 0) {
            EXPECT_EQ(m, full.substr(0, 199));
            found = true;
        }
    }
    EXPECT_TRUE(found);
}

TEST_F(CfgTest, CanFdOptionsDecodeOnFirstUse) {
    ASSERT_EQ(parse({"--use_canfd", "72:64:1"}), 0);
    LogCapture capture;
    const CFG_tstCanFdOpts* o = CFG_pstGetCanFDOpts();
    EXPECT_EQ(o->mtu, 72);
    EXPECT_EQ(o->tx_dl, 64);
    EXPECT_EQ(o->tx_flags, 1);
    EXPECT_EQ(CFG_pstGetCanFDOpts(), o);
    EXPECT_EQ(testsupport::logMessages(capture.text()), std::vector<std::string>{"CFG: mtu: 72, tx_dl: 64, flags: 1"});
}

TEST_F(CfgTest, UndecodableCanFdOptionsAreReportedOnEveryUse) {
    ASSERT_EQ(parse({"--use_canfd", "72"}), 0);
    LogCapture capture;
    const CFG_tstCanFdOpts* o = CFG_pstGetCanFDOpts();
    EXPECT_EQ(o->mtu, 72);
    EXPECT_EQ(o->tx_dl, 0);
    EXPECT_EQ(o->tx_flags, 0);
    CFG_pstGetCanFDOpts();
    EXPECT_EQ(testsupport::logMessages(capture.text()), (std::vector<std::string>{"CFG: Unable to decode canfd options!",
                                                          "CFG: Unable to decode canfd options!"}));
}

TEST_F(CfgTest, WithoutCanFdTheRecordStaysZero) {
    ASSERT_EQ(parse({}), 0);
    LogCapture capture;
    const CFG_tstCanFdOpts* o = CFG_pstGetCanFDOpts();
    EXPECT_EQ(o->mtu, 0);
    EXPECT_EQ(o->tx_dl, 0);
    EXPECT_EQ(o->tx_flags, 0);
    EXPECT_TRUE(testsupport::logMessages(capture.text()).empty());
}
