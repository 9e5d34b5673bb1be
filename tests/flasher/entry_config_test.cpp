// Configuration paths of the program, run as child processes of both the shipped
// kestrum_flasher and the entry-point double: help, version, parse errors, cross-checks and
// the flash-file root check, all before the run is initialised.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "flasher/entry_process.h"

using entrytest::Outcome;
using entrytest::contains;
using testsupport::TempDir;
using testsupport::logMessages;
using testsupport::splitLines;

namespace {

const char* const kReturnCodes[] = {
    "Return Codes:",
    "   0) Programming Okay",
    "   1) No Update of this Software is needed",
    "   2) Config Init failed",
    "   3) Flash Init failed",
    "   4) Problem with the flashfile",
    "   5) Error while flashing",
    "   6) Checking dependencies failed",
    "   7) Performing reset failed",
    "   8) Error while doing post processing",
    "   9) Flashfile has more Blocks than ECU",
};

struct OptionHelp {
    const char* name;
    const char* help;
};

// Every option in definition order with its help text.
const OptionHelp kOptions[] = {
    {"-h,--help", "print help"},
    {"--version", "Display program version information and exit"},
    {"--tester_serial_number", "6 byte tester serial number for fingerprint"},
    {"--connect_loop", "initial connection test (0: endless, -1: disabled, 1-x: limited loops)"},
    {"--can_channel", "can channel name to be used"},
    {"--use_canfd", "use CanFD, <mtu>:<tx_dl>:<tx_flags> link layer options"},
    {"--ecu_resp_id", "can identifier for ECU response, std or ext\nDefault: 0x77E"},
    {"--tester_phy_req_id", "can identifier for tester physical request, std or ext\nDefault: 0x714"},
    {"--tester_func_req_id", "can identifier for tester functional request, std or ext\nDefault: 0x700"},
    {"--can_padding_byte", "can padding byte used for iso-tp\nDefault: 0xAA"},
    {"--can_dynamic_flow_control", "enable support for dynamic flow control in iso/tp"},
    {"--tester_present_cycletime_msec", "cycletime for sending tester present in ms (0 = disabled)"},
    {"--seperation_time_usec", "Separation time between two CAN frames (N_As/N_Ar) in us\nDefault: -1=Disabled"},
    {"--completion_time_sec", "Time to complete UDS operation"},
    {"--p3_client", "p3_client timeout in milliseconds"},
    {"--p2_server", "p2_server timeout in milliseconds"},
    {"--p2_ext_server", "p2_ext_server timeout in milliseconds"},
    {"--use_eth", "uses Ethernet interface if parameter given, uses can if parameter not given"},
    {"--target_ip", "ip of ECU to flash, IPv4 or IPv6 possible"},
    {"--target_port", "port for Ethernet communication"},
    {"--source_ip", "ip which is used to send, IPv4 or IPv6 possible\nDefault: none"},
    {"--routing_activation_retry_delay", "time between two routing activations in milliseconds"},
    {"--doip_version", "doip version\nDefault: 2"},
    {"--source_address", "DoIP address of tester\nDefault: 0x0E80"},
    {"--phy_target_address", "DoIP physical address of ECU to flash\nDefault: 0x1014"},
    {"--func_target_address", "DoIP functional address\nDefault: 0xE400"},
    {"--odx_file", "Force this ODX/ODX-F File to be flashed"},
    {"--sig_file", "Use Signatures from this Filename"},
    {"--datflash_path", "Root path for ODX/PDX files"},
    {"--disable_partial_flash",
     "flash every partition in the flashfile even if block versions are up to date.\nreading of VW software block "
     "version numbers will be skipped"},
    {"--disable_prog_pre_cond", "disables checking the programming preconditions"},
    {"--disable_prog_date_serial", "disables writing of programming and tester serial"},
    {"--force_update", "force flashing even if software version is up to date, also disables partial flashing"},
    {"--security_access_delay_msec", "loader bugfix: msec to wait before security access"},
    {"--ECU_reset_mode",
     "reset mode to perform\n(0=No Reset, 1=11 01, 2=11 02, 3=11 01 no response required, 4=11 02 no response "
     "required)"},
    {"--disable_comm_ctrl", "Disable Communication Control and Control DTC Settings"},
    {"--disable_extended_session",
     "Disable jumping to extended session prior to programming and disables check programming preconditions"},
    {"--disable_final_swcheck",
     "Disable checking if the Software Version and Block Number Versions match the ones from ODX file after "
     "programming"},
    {"--connect_hook",
     "Run this hook script to detect if cluster is connected instead of vehicle identification request"},
    {"--disconnect_hook", "This hook script is run if the cluster got disconnected"},
    {"--read_idents", "This will only read identifications, but will not actually flash"},
    {"--test_odx_file", "Print Information parsed from the given ODX/ODX-F"},
    {"--logfile", "setup log filename\nDefault: stdout"},
    {"-v", "print extra debug informations to log, up to -vvv"},
};

const std::regex kBanner(R"(Kestrum Flasher 3\.0\.3 \(10003\) - [A-Z][a-z]{2} [ 1-3][0-9] \d{4} \d\d:\d\d:\d\d)");

class EntryConfig : public ::testing::TestWithParam<std::string> {
protected:
    Outcome run(const std::vector<std::string>& args) { return entrytest::run(dir_, GetParam(), args); }
    TempDir dir_;
};

// The return-code text as the log writes it on standard output: one header, eleven lines and
// the empty line that its closing line break leaves.
void expectReturnCodesAtEnd(const std::string& out) {
    const std::vector<std::string> lines = splitLines(out);
    const std::size_t n = sizeof kReturnCodes / sizeof kReturnCodes[0];
    ASSERT_GE(lines.size(), n + 1);
    const std::size_t first = lines.size() - n - 1;
    EXPECT_NE(lines[first].find(" : [       ] [KSTRMF] Return Codes:"), std::string::npos) << lines[first];
    EXPECT_TRUE(std::regex_match(lines[first], std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d : \[       \] \[KSTRMF\] Return Codes:)")))
        << lines[first];
    for (std::size_t i = 1; i < n; ++i) EXPECT_EQ(lines[first + i], kReturnCodes[i]);
    EXPECT_EQ(lines.back(), "");
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(Programs, EntryConfig, ::testing::Values(entrytest::kFlasher, entrytest::kDouble),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param == entrytest::kFlasher ? std::string("Shipped") : std::string("Double");
                         });

TEST_P(EntryConfig, HelpPrintsOptionsAndReturnCodes) {
    for (const char* flag : {"--help", "-h"}) {
        const Outcome o = run({flag});
        ASSERT_TRUE(o.ended);
        EXPECT_EQ(o.exitCode, 0) << flag;
        EXPECT_EQ(o.err, "");
        EXPECT_EQ(o.out.rfind("Flash ODX/PDX files over CAN or Ethernet\n", 0), 0u) << o.out;
        EXPECT_EQ(o.out.find("Print this help message and exit"), std::string::npos);
        EXPECT_EQ(o.out.find("Kestrum Flasher"), std::string::npos) << "no banner line before the run";
        EXPECT_EQ(o.out.find("Parameters:"), std::string::npos);
        std::size_t pos = 0;
        for (const auto& opt : kOptions) {
            const std::size_t at = o.out.find("  " + std::string(opt.name) + " ", pos);
            ASSERT_NE(at, std::string::npos) << opt.name << " missing or out of order";
            pos = at;
            // Each line of the help text appears as written; the layout is the library's.
            for (const auto& part : splitLines(opt.help)) {
                EXPECT_NE(o.out.find(part, at), std::string::npos) << opt.name << ": " << part;
            }
        }
        expectReturnCodesAtEnd(o.out);
    }
}

TEST_P(EntryConfig, HelpWithLogfileStillPrintsReturnCodesOnStandardOutput) {
    const std::string log = dir_.file("never.log");
    const Outcome o = run({"--logfile", log, "--help"});
    EXPECT_EQ(o.exitCode, 0);
    expectReturnCodesAtEnd(o.out);
    EXPECT_NE(access(log.c_str(), F_OK), 0) << "the log file is not opened for --help";
}

TEST_P(EntryConfig, VersionPrintsTheBannerOnly) {
    const Outcome o = run({"--version"});
    EXPECT_EQ(o.exitCode, 0);
    EXPECT_EQ(o.err, "");
    ASSERT_FALSE(o.out.empty());
    EXPECT_EQ(o.out.back(), '\n');
    EXPECT_TRUE(std::regex_match(o.out.substr(0, o.out.size() - 1), kBanner)) << o.out;
}

TEST_P(EntryConfig, ParseErrorsExitWith2AndTheirMessage) {
    const std::vector<std::vector<std::string>> cases = {
        {"--no_such_option"},
        {"--ECU_reset_mode", "5"},
        {"--connect_loop", "1001"},
        {"--can_padding_byte", "256"},
        {"--target_port", "70000"},
        {"--p2_server", "abc"},
        {"--logfile"},
    };
    for (const auto& args : cases) {
        const Outcome o = run(args);
        EXPECT_EQ(o.exitCode, 2) << args[0];
        EXPECT_EQ(o.out, "Error parsing command line parameters\n") << args[0];
        EXPECT_FALSE(o.err.empty()) << "the library's message goes to standard error";
    }
}

TEST_P(EntryConfig, FourVerbosityFlagsExitWith2AfterTheDump) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-vvvv"}, std::vector<std::string>{"-v", "-v", "-v", "-v"}}) {
        const Outcome o = run(args);
        EXPECT_EQ(o.exitCode, 2);
        const std::vector<std::string> lines = splitLines(o.out);
        ASSERT_GE(lines.size(), 3u) << o.out;
        EXPECT_EQ(testsupport::logMessage(lines[0]), "Parameters:");
        EXPECT_EQ(lines[lines.size() - 2], "Verbosity flag can be -v, -vv or -vvv");
        EXPECT_EQ(lines.back(), "Error parsing command line parameters");
        EXPECT_EQ(o.out.find("Kestrum Flasher"), std::string::npos) << "no banner";
    }
}

TEST_P(EntryConfig, FiveCharacterSerialNumberExitsWith2) {
    const Outcome o = run({"--tester_serial_number", "12345"});
    EXPECT_EQ(o.exitCode, 2);
    const std::vector<std::string> lines = splitLines(o.out);
    ASSERT_GE(lines.size(), 3u) << o.out;
    EXPECT_TRUE(contains(logMessages(o.out), "  Param:tester_serial_number Val:12345"));
    EXPECT_EQ(lines[lines.size() - 2], "The tester serial Number must be 6 Byte long");
    EXPECT_EQ(lines.back(), "Error parsing command line parameters");
}

TEST_P(EntryConfig, CrossCheckFailureWithLogfileKeepsTheDumpInTheFile) {
    const std::string log = dir_.file("run.log");
    testsupport::writeFile(log, "stale\n");
    const Outcome o = run({"--logfile", log, "-vvvv"});
    EXPECT_EQ(o.exitCode, 2);
    EXPECT_EQ(o.out, "Verbosity flag can be -v, -vv or -vvv\nError parsing command line parameters\n");
    const std::vector<std::string> msgs = logMessages(testsupport::readFile(log));
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(msgs.front(), "Parameters:") << "the file was truncated";
}

TEST_P(EntryConfig, MissingFlashFileRootExitsWith2) {
    const std::string missing = dir_.file("no-such-dir");
    const std::string plainFile = dir_.file("plain");
    testsupport::writeFile(plainFile, "x");
    for (const std::string& root : {missing, plainFile}) {
        const Outcome o = run({"--datflash_path", root});
        EXPECT_EQ(o.exitCode, 2) << root;
        const std::vector<std::string> msgs = logMessages(o.out);
        ASSERT_GE(msgs.size(), 2u);
        EXPECT_TRUE(std::regex_match(msgs[msgs.size() - 2], kBanner)) << msgs[msgs.size() - 2];
        EXPECT_EQ(msgs.back(), "CFG: invalid datflash Path:\"" + root + "\"");
        EXPECT_NE(o.out.find(": [ERR    ] [KSTRMF] CFG: invalid datflash Path:"), std::string::npos);
        EXPECT_EQ(o.err, "") << "the run is not initialised";
    }
}
