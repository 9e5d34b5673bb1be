// Whole flash runs (FLASH_boInit, FLASH_iMain, FLASH_vDeinit) against the scripted ECU, one
// scenario per row. Module state is process-wide, so every scenario runs in a child process:
// this test program started again with the scenario's index in its environment.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <thread>

#include "doip/wire/data2hex.h"
#include "events/event_bus.h"
#include "flasher/flash.h"
#include "flasher/flash_seq.h"
#include "flasher/status_events.h"
#include "seq_fake_ecu.h"
#include "seq_package.h"
#include "seq_support.h"
#include "sim/inprocess.h"
#include "sim/pkggen/pkggen.h"
#include "uds/uds.h"
#include "uds/uds_internal.h"

extern char** environ;

using namespace seqtest;

namespace {

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes blockVersions(const std::vector<std::string>& v) {
    Bytes out;
    for (const auto& s : v) out.insert(out.end(), s.begin(), s.end());
    return out;
}

Bytes fingerprints(const std::vector<uint8_t>& states) {
    Bytes out;
    for (uint8_t st : states) {
        const Bytes one{0x24, 0x01, 0x15, 'O', 'L', 'D', '0', '0', '1', st};
        out.insert(out.end(), one.begin(), one.end());
    }
    return out;
}

// ECU before programming: software 0210, two blocks 0001 valid, development key, consistent;
// after a reset that follows a download: software 0220, both blocks 0002.
void standardEcu(FakeEcu& ecu) {
    ecu.dids = {{0xF187, text("5G0920861A ")},
                {0xF189, text("0210")},
                {0xF191, text("5G0920861")},
                {0xF1A3, text("H03")},
                {0xF1D5, {0x00, 0x00, 0x01, 0x23, 0x45, 0x20}},
                {0xF1DF, {0x40}},
                {0xF1AB, blockVersions({"0001", "0001"})},
                {0xF15B, fingerprints({0, 0})}};
    ecu.afterReset = {{0xF189, text("0220")}, {0xF1AB, blockVersions({"0002", "0002"})}, {0xF1DF, {0x40}}};
}

constexpr const char* kFile = "FL_5G0920861A_0220.odx-f";

struct Setup {
    std::string root;
    FakeEcu& ecu;
    // Rows that set useSim run against the simulated ECU (in-process front-end) with a
    // package from the sample package generator instead of the scripted ECU.
    bool useSim = false;
    ecusim::EcuConfig sim;
};

// A sample package in the datflash root, for the simulated ECU; its blocks are written to
// package.txt as "ADDRESS SHA256" for the checks of the parent.
void samplePackage(Setup& s, void (*tweak)(ecusim::pkggen::PackageOptions&) = nullptr) {
    ecusim::pkggen::PackageOptions o;
    o.outDir = s.root;
    if (tweak) tweak(o);
    const auto pkg = ecusim::pkggen::generate(o);
    std::string lines;
    for (const auto& b : pkg.blocks) {
        char addr[16];
        std::snprintf(addr, sizeof addr, "%08X", b.address);
        lines += std::string(addr) + " " + b.sha256 + "\n";
    }
    writeText(s.root + "/../package.txt", lines);
    s.useSim = true;
    s.sim.seedForTests = 0x12345678;
}

struct Outcome {
    int exitCode = -1;
    std::vector<std::string> log;       // messages
    std::vector<std::string> requests;  // "10 03", ...
    std::vector<std::string> memory;    // "ADDRESS HEX"
    std::vector<std::string> violations;
    std::vector<std::string> package;  // simulated rows: "ADDRESS SHA256" per package block
    int resets = 0;
};

struct Scenario {
    const char* name = "";
    std::vector<std::string> options = {};
    std::function<void(Setup&)> setup = nullptr;
    int exitCode = 0;
    std::vector<std::string> lines = {};   // appear in this order
    std::vector<std::string> absent = {};  // never appear
    std::vector<std::string> requestsInOrder = {};  // request prefixes, in this order
    std::vector<std::string> requestsAbsent = {};   // request prefixes never sent
    std::function<void(const Outcome&)> check = nullptr;
};

const std::string kOkBanner = "     ***   Programming Okay   ***";
const std::string kFatalBanner = "     ***     FATAL ERROR!   ***";
const std::string kErrorBanner = "     ***        ERROR!      ***";
const std::string kOdxBanner = "     ***     ODX FILE ERROR!   ***";
const std::string kCurrentBanner = "     ***   FINISHED: Software is Current!  ***";

int countPrefix(const std::vector<std::string>& reqs, const std::string& prefix) {
    return static_cast<int>(
        std::count_if(reqs.begin(), reqs.end(), [&](const std::string& r) { return r.rfind(prefix, 0) == 0; }));
}

std::vector<std::string> programmingOrder() {
    return {"10 03", "2E F1 99", "2E F1 98", "31 01 02 03", "85 82 FF FF FF", "28 81 01", "10 02", "27 11",
            "27 12", "2E F1 5A", "34 00 44 20 00 00 00", "31 01 02 02", "31 01 FF 00 44 00 A1 00 00",
            "34 00 44 00 A1 00 00", "31 01 02 02", "31 01 FF 00", "34 00 44 00 A2 00 00", "31 01 02 02",
            "31 01 C0 10", "31 03 C0 10", "31 01 FF 01", "11 01", "2E F1 99", "2E F1 98", "22 F1 89", "22 F1 DF",
            "22 F1 AB", "22 F1 5B", "28 80 01", "85 81 FF FF FF"};
}

void writeStandard(Setup& s) { writePackage(s.root, kFile, standardPackage()); }

const std::vector<Scenario>& scenarios() {
    static const std::vector<Scenario> table = {
        {"full flash",
         {"--security_access_delay_msec", "20"},
         writeStandard,
         0,
         {"FLASH: Started sending Func Tester Presents", "FLASH: *** START ****************************************************",
          "TEST EVENT OpeningODXFile", "FLASH: Software Version is not Identical ECU:0210 ODX:0220",
          "FLASH: Flashing Block 00 ODX:0002 Clust:0001 State:00 - Version Mismatch", "TEST EVENT FlashingStarted",
          "FLASH: Extended Session", "FLASH: Check Programming Pre Conditions OK", "FLASH: Security Access",
          "FLASH: SecurityAccessDelay = 20 ms", "TEST SLEEP 20", "FLASH: 0xF15A : Write Fingerprint", "FLASH: Finished Programming Loop .. Ok",
          "FLASH: Check Programming Dependencies", "ECU Reset: 11 01 - require Response",
          "FLASH: Software Version is Identical ECU:0220 ODX:0220", "FLASH: ECU Software is Consistent",
          "FLASH: Block 01 ODX:0002 Clust:0002 State:00 - OK", "     ****************************", kOkBanner,
          "     ****************************", "TEST EVENT FlashingFinished",
          "FLASH: *** END (Result 0) ****************************************************"},
         {"TEST EVENT FlashingFailed"},
         programmingOrder(),
         {},
         [](const Outcome& o) {
             // Every byte of the package arrived at its address.
             const Package p = standardPackage();
             for (const auto& b : p.blocks) {
                 char addr[16];
                 std::snprintf(addr, sizeof addr, "%08X", b.address);
                 EXPECT_NE(std::find(o.memory.begin(), o.memory.end(), std::string(addr) + " " + hex(b.data)),
                           o.memory.end())
                     << addr;
             }
             // Fingerprint: BCD date of the start and the tester serial number.
             time_t now = time(nullptr);
             struct tm t;
             localtime_r(&now, &t);
             char fp[64];
             std::snprintf(fp, sizeof fp, "2E F1 5A %02d %02d %02d 54 53 54 30 30 31", t.tm_year - 100, t.tm_mon + 1,
                           t.tm_mday);
             EXPECT_EQ(1, countPrefix(o.requests, fp)) << fp;
             char date[64];
             std::snprintf(date, sizeof date, "2E F1 99 %02d %02d %02d", t.tm_year - 100, t.tm_mon + 1, t.tm_mday);
             EXPECT_EQ(2, countPrefix(o.requests, date));
             EXPECT_EQ(2, countPrefix(o.requests, "2E F1 98 54 53 54 30 30 31"));
         }},
        {"software current: same version, consistent ECU, blocks not read",
         {},
         [](Setup& s) {
             writeStandard(s);
             s.ecu.dids[0xF189] = text("0220");
         },
         1,
         {"TEST EVENT OpeningODXFile", "FLASH: Software Version is Identical ECU:0220 ODX:0220",
          "FLASH: ECU Software is Consistent", "     *****************************************", kCurrentBanner,
          "     *****************************************", "TEST EVENT FlashingFinished",
          "FLASH: *** END (Result 1) ****************************************************"},
         {"TEST EVENT FlashingStarted", "TEST EVENT FlashingFailed", "TEST SLEEP 1000"},
         {"22 F1 87", "22 F1 89", "22 F1 DF", "28 80 01", "85 81 FF FF FF"},
         {"22 F1 AB", "10 02"}},
        {"same version, inconsistent ECU: partial decision programs the differing blocks",
         {},
         [](Setup& s) {
             writeStandard(s);
             s.ecu.dids[0xF189] = text("0220");
             s.ecu.dids[0xF1DF] = {0x44};
         },
         0,
         {"FLASH: Software Version is Identical ECU:0220 ODX:0220", "FLASH: ECU Software is Inconsistent",
          "FLASH: Partial Blocks to Programm:", kOkBanner},
         {},
         {"22 F1 DF", "22 F1 AB", "10 02"}},
        {"partial flash: one block current, one invalid, one mismatching",
         {},
         [](Setup& s) {
             Package p = standardPackage("0002", "0005");
             p.blocks.push_back({"0009", 0x00A30000, {1, 2, 3, 4}});
             writePackage(s.root, kFile, p);
             s.ecu.dids[0xF1AB] = blockVersions({"0002", "0005", "0001"});
             s.ecu.dids[0xF15B] = fingerprints({0, 1, 0});
             s.ecu.afterReset[0xF1AB] = blockVersions({"0002", "0005", "0009"});
             s.ecu.afterReset[0xF15B] = fingerprints({0, 0, 0});
         },
         0,
         {"FLASH: Partial Blocks to Programm:", "FLASH: Skipping Block 00 ODX:0002 Clust:0002 State:00 - No Update",
          "FLASH: Flashing Block 01 ODX:0005 Clust:0005 State:01 - Invalid",
          "FLASH: Flashing Block 02 ODX:0009 Clust:0001 State:00 - Version Mismatch",
          "FLASH: Skipping Erase of Block 0", "FLASH: Skip Programming of Block 0", "FLASH: Skip Checking of Block 0",
          "FLASH: Erase Partition       StartAddr:   0x00A20000", "FLASH: Block 02 ODX:0009 Clust:0009 State:00 - OK",
          kOkBanner},
         {},
         {"34 00 44 20 00 00 00", "31 01 FF 00 44 00 A2 00 00", "34 00 44 00 A2", "31 01 FF 00 44 00 A3 00 00",
          "34 00 44 00 A3"},
         {"31 01 FF 00 44 00 A1", "34 00 44 00 A1"}},
        {"all blocks current, different software version, consistent ECU",
         {},
         [](Setup& s) {
             writeStandard(s);
             s.ecu.dids[0xF1AB] = blockVersions({"0002", "0002"});
         },
         1,
         {"FLASH: Software Version is not Identical ECU:0210 ODX:0220",
          "FLASH: Skipping Block 01 ODX:0002 Clust:0002 State:00 - No Update", "FLASH: ECU Software is Consistent",
          kCurrentBanner},
         {},
         {"22 F1 AB", "22 F1 DF"},
         {"10 02"}},
        {"all blocks current, inconsistent ECU: every block forced",
         {},
         [](Setup& s) {
             writeStandard(s);
             s.ecu.dids[0xF1AB] = blockVersions({"0002", "0002"});
             s.ecu.dids[0xF1DF] = {0x44};
         },
         0,
         {"FLASH: ECU Software is Inconsistent, forcing all blocks", "FLASH: Forced Blocks to Programm:",
          "FLASH: Flashing Block 00 ODX:0002 - Forced", "FLASH: Flashing Block 01 ODX:0002 - Forced", kOkBanner},
         {},
         {"34 00 44 00 A1", "34 00 44 00 A2"}},
        {"no file for the spare part number",
         {},
         [](Setup& s) { writePackage(s.root, "FL_5G0920999X_0220.odx-f", standardPackage()); },
         4,
         {"TEST EVENT OpeningODXFile", "FLASH: 0xF1D5 FDS Project Data: 0x00 ID:0x00012345 Hash-Len: 32, Key: Development ",
          "     *****************************", "     ***                       ***", kOdxBanner,
          "     ***                       ***", "     *****************************", "TEST EVENT FlashingFailed",
          "FLASH: *** END (Result 4) ****************************************************"},
         {"TEST EVENT FlashingStarted", "TEST SLEEP 1000"},
         {"22 F1 87", "22 F1 D5", "28 80 01", "85 81"},
         {"10 ", "11 "}},
        {"key variant _E chosen for a development key",
         {},
         [](Setup& s) {
             writePackage(s.root, "FL_5G0920861A_0220_E.odx-f", standardPackage());
             writePackage(s.root, "FL_5G0920861A_0220_S.odx-f", standardPackage());
         },
         0,
         {"ODX: Found \"" + std::string("{ROOT}") + "/FL_5G0920861A_0220_E.odx-f\"", kOkBanner}},
        {"key variant _S chosen for a series key",
         {},
         [](Setup& s) {
             writePackage(s.root, "FL_5G0920861A_0220_E.odx-f", standardPackage());
             writePackage(s.root, "FL_5G0920861A_0220_S.odx-f", standardPackage());
             s.ecu.dids[0xF1D5] = {0x01, 0x00, 0x01, 0x23, 0x45, 0x20};
         },
         0,
         {"ODX: Found \"" + std::string("{ROOT}") + "/FL_5G0920861A_0220_S.odx-f\"", kOkBanner}},
        {"two matching variant files",
         {},
         [](Setup& s) {
             writePackage(s.root, "FL_5G0920861A_0220_E.odx-f", standardPackage());
             writePackage(s.root, "FL_5G0920861A_0221_E.odx-f", standardPackage());
         },
         4,
         {"ODX: Did not find any files", "ODX: Found more than one file", kOdxBanner}},
        {"expected identification does not match",
         {},
         [](Setup& s) {
             Package p = standardPackage();
             p.expectedIdents = {{"EI_VWSparePartNumbe", {"5G0920861A "}}, {"EI_VWECUHardwNumbe", {"5G0920862"}}};
             writePackage(s.root, kFile, p);
         },
         4,
         {"ODX: Expected Ident: \"EI_VWSparePartNumbe\" Found \"5G0920861A \"",
          "FLASH: 0xF191 VW ECU Hardware Number: \"5G0920861\"",
          "ODX: Expected Ident: \"EI_VWECUHardwNumbe\" not found \"5G0920861\"", kOdxBanner}},
        {"unknown expected identification",
         {},
         [](Setup& s) {
             Package p = standardPackage();
             p.expectedIdents = {{"EI_Other", {"x"}}};
             writePackage(s.root, kFile, p);
         },
         4,
         {"FLASH: Unknown expect ident: EI_Other", kOdxBanner}},
        {"expected identifications that match",
         {},
         [](Setup& s) {
             Package p = standardPackage();
             p.expectedIdents = {{"EI_VWECUHardwVersiNumbe", {"H02", "H03"}},
                                 {"EI_VWAppliSoftwVersiNumbe", {"0200", "0210"}}};
             writePackage(s.root, kFile, p);
         },
         0,
         {"FLASH: 0xF1A3 VW ECU Hardware Version Number: \"H03\"", kOkBanner}},
        {"--odx_file skips the expected identifications",
         {"--odx_file", "FL_Named_0220.odx-f"},
         [](Setup& s) {
             Package p = standardPackage();
             p.expectedIdents = {{"EI_VWECUHardwNumbe", {"OTHER"}}};
             writePackage(s.root, "FL_Named_0220.odx-f", p);
         },
         0,
         {kOkBanner},
         {"Looking for Expected Idents"},
         {},
         {"22 F1 87", "22 F1 91"}},
        {"--force_update flashes identical software",
         {"--force_update"},
         [](Setup& s) {
             Package p = standardPackage();
             p.expectedIdents = {{"EI_VWECUHardwNumbe", {"OTHER"}}};
             writePackage(s.root, kFile, p);
             s.ecu.dids[0xF189] = text("0220");
         },
         0,
         {"FLASH: Forced Blocks to Programm:", "FLASH: Flashing Block 01 ODX:0002 - Forced", kOkBanner},
         {"Looking for Expected Idents"},
         {"34 00 44 00 A1", "34 00 44 00 A2"},
         {},
         [](const Outcome& o) {
             // The software version is first read by the check after the reset.
             const auto reset = std::find(o.requests.begin(), o.requests.end(), "11 01");
             const auto version = std::find(o.requests.begin(), o.requests.end(), "22 F1 89");
             EXPECT_LT(reset, version);
         }},
        {"--disable_partial_flash: all blocks, block versions never read",
         {"--disable_partial_flash"},
         writeStandard,
         0,
         {"FLASH: Forced Blocks to Programm:", kOkBanner},
         {},
         {"34 00 44 00 A1", "34 00 44 00 A2", "22 F1 89"},
         {"22 F1 AB", "22 F1 5B"}},
        {"--disable_final_swcheck with reset mode 0",
         {"--disable_final_swcheck", "--ECU_reset_mode", "0"},
         writeStandard,
         0,
         {"ECU Reset: Not doing ECU reset.", "FLASH: Skip checking software versions after programming", kOkBanner},
         {"FLASH: Checking software versions after Programming..."},
         {"31 01 FF 01", "2E F1 99", "28 80 01"},
         {"11 "}},
        {"--disable_extended_session skips the extended session and the preconditions",
         {"--disable_extended_session", "--tester_present_cycletime_msec", "0"},
         [](Setup& s) {
             writeStandard(s);
             s.ecu.allowProgrammingFromDefault = true;
         },
         0,
         {"FLASH: Sending of Tester Presents is disabled", "FLASH: Extended Session disabled",
          "FLASH: Programming Pre Conditions ignored", kOkBanner},
         {"FLASH: Extended Session", "FLASH: Started sending Func Tester Presents"},
         {"2E F1 99", "85 82", "28 81", "10 02"},
         {"10 03", "31 01 02 03"}},
        {"reset mode 3 ignores a refused reset",
         {"--ECU_reset_mode", "3", "--disable_final_swcheck"},
         [](Setup& s) {
             writeStandard(s);
             s.ecu.refusals.push_back({{0x11, 0x01}, 0x22, false});
         },
         0,
         {"ECU Reset: 11 01 - ignoring Response", kOkBanner}},
        {"reset refused in mode 1: second reset attempt, result 7",
         {},
         [](Setup& s) {
             writeStandard(s);
             s.ecu.refusals.push_back({{0x11, 0x01}, 0x22, false});
         },
         7,
         {"ECU Reset after Programming failed", "ECU Reset: 11 01 - require Response", "TEST SLEEP 1000",
          "     **************************", kFatalBanner,
          "TEST EVENT FlashingFailed", "FLASH: *** END (Result 7) ****************************************************"},
         {},
         {"31 01 FF 01", "11 01", "28 80 01", "85 81", "11 01"}},
        {"--read_idents: three identification reads, no communication control",
         {"--read_idents", "--datflash_path", "/nonexistent/datflash", "--ECU_reset_mode", "2"},
         nullptr,
         0,
         {"TEST EVENT FlashingStarted", "FLASH: Extended Session", "FLASH: Reading Identifications from Application Session",
          "FLASH: Change to Programming Session", "FLASH: Reading Identifications from Programming Session",
          "ECU Reset: 11 02 - require Response", "FLASH: Read Identifications after Reset", "     ****************************",
          "     ***   Read Idents Okay   ***", "TEST EVENT FlashingFinished"},
         {"TEST EVENT OpeningODXFile"},
         {"10 03", "22 F1 87", "10 02", "22 F1 87", "11 02", "22 F1 87"},
         {"28 ", "85 ", "2E ", "27 "},
         [](const Outcome& o) {
             EXPECT_EQ(3, countPrefix(o.requests, "22 F1 AB"));
             EXPECT_EQ(3, countPrefix(o.requests, "22 F1 89"));
             EXPECT_EQ(1, countPrefix(o.requests, "22 F1 D5"));
         }},
        {"security access refused",
         {"--security_access_delay_msec=-5"},
         [](Setup& s) {
             writeStandard(s);
             s.ecu.keyXor = 0x12345678;
         },
         5,
         {"FLASH: SecurityAccessDelay = -5 ms", "FLASH: ECU Security Access Failed", "TEST SLEEP 1000", kFatalBanner,
          "TEST EVENT FlashingFailed",
          "FLASH: *** END (Result 5) ****************************************************"},
         {},
         {"27 12", "28 80 01", "85 81", "11 01"},
         {"2E F1 5A", "34 "}},
        {"spare part number unreadable: fatal ending with reset",
         {},
         [](Setup& s) {
             writeStandard(s);
             s.ecu.dids.erase(0xF187);
         },
         5,
         {"FLASH: Error Reading VW Spare Part Number", "ECU Reset: 11 01 - require Response", kFatalBanner},
         {"TEST EVENT FlashingStarted"},
         {"22 F1 87", "11 01"}},
        {"ECU with fewer blocks than the file",
         {},
         [](Setup& s) {
             writeStandard(s);
             s.ecu.dids[0xF1AB] = blockVersions({"0001"});
             s.ecu.dids[0xF15B] = fingerprints({0});
         },
         5,
         {"FLASH: ECU has less SoftwareBlocks than the ODX File 1 2", kFatalBanner}},
        {"dependency check fails: reset and ERROR banner, result 6",
         {},
         [](Setup& s) {
             writeStandard(s);
             s.ecu.refusals.push_back({{0x31, 0x01, 0xFF, 0x01}, 0, false});
         },
         6,
         {"FLASH: Check Programming Dependencies failed", "ECU Reset: 11 01 - require Response", "     **************************",
          "     ***                    ***", kErrorBanner, "     ***                    ***", "     **************************",
          "TEST EVENT FlashingFailed"},
         {},
         {"31 01 FF 01", "28 80 01", "85 81", "11 01"}},
        {"software version unchanged after programming: result 8 without reset",
         {},
         [](Setup& s) {
             writeStandard(s);
             s.ecu.afterReset.erase(0xF189);
         },
         8,
         {"FLASH: Checking software versions after Programming...",
          "FLASH: Software Version is not Identical ECU:0210 ODX:0220", "TEST SLEEP 1000", kErrorBanner},
         {},
         {},
         {},
         [](const Outcome& o) { EXPECT_EQ(1, countPrefix(o.requests, "11 01")); }},
        {"block version mismatching after programming: result 8",
         {},
         [](Setup& s) {
             writeStandard(s);
             s.ecu.afterReset[0xF1AB] = blockVersions({"0002", "0003"});
         },
         8,
         {"FLASH: Check if all blocks from ODX match ECU version",
          "FLASH: Block 01 ODX:0002 Clust:0003 State:00 - Version Mismatch",
          "FLASH: Block Version Information do not match", kErrorBanner}},
        {"byte position outside the ECU block table: block programmed, final check fails",
         {},
         [](Setup& s) {
             Package p = standardPackage();
             p.blocks[2].layerBytePos = 300;
             writePackage(s.root, kFile, p);
             s.ecu.dids[0xF1AB] = blockVersions({"0002", "0002"});
         },
         8,
         {"FLASH: BytePos 300 from ODX lies outside the ECU block table",
          "FLASH: Flashing Block 74 ODX:0002 Clust:---- State:FF - Version Mismatch",
          "FLASH: Block 01 ODX:0002 Clust:---- State:FF - Version Mismatch", kErrorBanner},
         {},
         {"34 00 44 00 A2"},
         {"34 00 44 00 A1"}},
        {"transport fails to start the stream",
         {},
         nullptr,
         3,
         {"FLASH: Could not start stream"},
         {"FLASH: *** START ****************************************************"}},
        {"exception below the procedure ends the run with 5 and the closing lines",
         {},
         [](Setup& s) {
             writeStandard(s);
             s.ecu.refusals.push_back({{0x10, 0x02}, 0, true});
         },
         5,
         {"FLASH: Change to Programming Session", "FLASH: Exception: fake transport failure",
          "FLASH: *** END (Result 5) ****************************************************"}},

        // ---- the simulated ECU with sample packages ----
        {"simulated ECU: sample package flashed and verified",
         {},
         [](Setup& s) { samplePackage(s); },
         0,
         {"PDX: Extracting {ROOT}/5G0920861A_0221.pdx",
          "ODX: Found \"{ROOT}/Unpacked/5G0920861A_0221.pdx/FL_5G0920861A_0221.odx-f\"",
          "ODX: Expected Ident: \"EI_VWSparePartNumbe\" Found \"5G0920861A\"", "FLASH: Software Version is not Identical ECU:0220 ODX:0221",
          "FLASH: Security Access", "UDS: SA2 Key OK", "FLASH: Finished Programming Loop .. Ok",
          "FLASH: Software Version is Identical ECU:0221 ODX:0221", "FLASH: ECU Software is Consistent",
          "FLASH: Block 01 ODX:0002 Clust:0002 State:00 - OK", kOkBanner},
         {},
         {"10 03", "10 02", "27 11", "27 12", "2E F1 5A", "34 ", "31 01 FF 01", "11 01", "22 F1 89"},
         {},
         [](const Outcome& o) {
             ASSERT_EQ(3u, o.package.size());
             for (const auto& b : o.package) {
                 EXPECT_NE(std::find(o.memory.begin(), o.memory.end(), b + " ok"), o.memory.end()) << b;
             }
             EXPECT_EQ(1, o.resets);
         }},
        {"simulated ECU: software current",
         {},
         [](Setup& s) {
             samplePackage(s);
             s.sim.softwareVersion = "0221";
         },
         1,
         {"FLASH: Software Version is Identical ECU:0221 ODX:0221", kCurrentBanner},
         {},
         {},
         {"22 F1 AB", "10 02", "34 "}},
        {"simulated ECU: partial flash of the one outdated block",
         {},
         [](Setup& s) {
             samplePackage(s);
             s.sim.blocks[0].version = "0002";
         },
         0,
         {"FLASH: Skipping Block 00 ODX:0002 Clust:0002 State:00 - No Update",
          "FLASH: Flashing Block 01 ODX:0002 Clust:0001 State:00 - Version Mismatch", "FLASH: Skip Programming of Block 0",
          "FLASH: Block 00 ODX:0002 Clust:0002 State:00 - OK", kOkBanner},
         {},
         {},
         {},
         [](const Outcome& o) {
             ASSERT_EQ(3u, o.package.size());
             const std::string block0 = o.package[1].substr(0, 8);
             for (const auto& m : o.memory) EXPECT_NE(0u, m.rfind(block0, 0)) << m;
             EXPECT_NE(std::find(o.memory.begin(), o.memory.end(), o.package[2] + " ok"), o.memory.end());
         }},
        {"simulated ECU: key variant _S for a series key",
         {},
         [](Setup& s) {
             samplePackage(s, [](ecusim::pkggen::PackageOptions& o) { o.keyType = 1; });
             s.sim.seriesKey = true;
         },
         0,
         {"ODX: Found \"{ROOT}/Unpacked/5G0920861A_0221.pdx/FL_5G0920861A_0221_S.odx-f\"", kOkBanner}},
        {"simulated ECU: busy and pending answers are waited out",
         {},
         [](Setup& s) {
             samplePackage(s);
             s.sim.faults.busyCount = 2;
             s.sim.faults.busySid = 0x34;
             s.sim.faults.pendingCount = 2;
             s.sim.faults.pendingSid = 0x31;
         },
         0,
         {"UDS: Try to send request again", kOkBanner}},
        {"simulated ECU: key refused",
         {},
         [](Setup& s) {
             samplePackage(s);
             s.sim.faults.refuseKey = true;
         },
         5,
         {"UDS: SA2 Key not Accepted", "FLASH: ECU Security Access Failed", kFatalBanner},
         {},
         {"27 12", "28 80 01", "85 81", "11 01"},
         {"2E F1 5A", "34 "}},
        {"simulated ECU: programming preconditions not fulfilled",
         {},
         [](Setup& s) {
             samplePackage(s);
             s.sim.faults.preconditionsFail = true;
         },
         5,
         {"FLASH: Check Programming Pre Conditions Failed", kFatalBanner},
         {},
         {"31 01 02 03", "11 01"},
         {"10 02"}},
        {"simulated ECU: --read_idents",
         {"--read_idents"},
         [](Setup& s) { s.useSim = true; },
         0,
         {"FLASH: 0xF187 VW Spare Part Number: \"5G0920861A\"", "FLASH: Reading Identifications from Programming Session",
          "     ***   Read Idents Okay   ***"},
         {},
         {"10 03", "10 02", "11 01"},
         {"28 ", "85 ", "27 "},
         [](const Outcome& o) { EXPECT_EQ(3, countPrefix(o.requests, "22 F1 AB")); }},
    };
    return table;
}

// ---- child side ----------------------------------------------------------------------------

void writeLines(const std::string& path, const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& l : lines) all += l + "\n";
    writeText(path, all);
}

std::string spaced(const Bytes& b) {
    return data2hex::ArrayToHexString<data2hex::CharacterSeparator<' '>>(b.data(), b.size());
}

[[noreturn]] void runChild(int index, const std::string& dir) {
    const Scenario& sc = scenarios().at(static_cast<size_t>(index));
    const std::string root = dir + "/datflash";
    mkdir(root.c_str(), 0755);

    static FakeEcu ecu;
    standardEcu(ecu);
    Setup setup{root, ecu, false, {}};
    if (sc.setup) sc.setup(setup);

    std::vector<std::string> args = {"--datflash_path", root, "--tester_serial_number", "TST001",
                                     "--p2_server", "200", "--p3_client", "5"};
    args.insert(args.end(), sc.options.begin(), sc.options.end());
    if (initOptions(args, dir + "/log.txt") != 0) _exit(100);

    auto& transport = ScriptedTransport::instance();
    transport.reset();
    transport.respond = [](const Bytes& rq) { return ecu.respond(rq); };
    transport.streamOk = std::string(sc.name) != "transport fails to start the stream";
    UDS_vSetTransportOverride(setup.useSim ? ecusim::InProcess::start(setup.sim) : ScriptedTransport::table());
    UDS__vSetSleepHookForTest([](uint32_t) {});
    FLASH__vSetSleepHookForTest([](long ms) { LOG_vInfo("TEST SLEEP %ld", ms); });

    const int token = eventBus.newToken();
    eventBus.listen<OpeningODXFile>(token, [](const OpeningODXFile&) {
        LOG_vInfo("TEST EVENT OpeningODXFile");
        return true;
    });
    eventBus.listen<FlashingStarted>(token, [](const FlashingStarted&) {
        LOG_vInfo("TEST EVENT FlashingStarted");
        return true;
    });
    eventBus.listen<FlashingFinished>(token, [](const FlashingFinished&) {
        LOG_vInfo("TEST EVENT FlashingFinished");
        return true;
    });
    eventBus.listen<FlashingFailed>(token, [](const FlashingFailed&) {
        LOG_vInfo("TEST EVENT FlashingFailed");
        return true;
    });

    int result = 3;
    if (FLASH_boInit()) {
        try {
            result = FLASH_iMain();
        } catch (...) {
            result = 99;  // the run must not let an exception escape
        }
        FLASH_vDeinit();
        LOG_vInfo("----- Finished -----");
    }

    std::vector<std::string> reqs, mem, violations = ecu.violations;
    int resets = ecu.resets;
    if (setup.useSim) {
        const ecusim::Report report = ecusim::InProcess::model().report();
        for (const auto& r : report.requests) {
            Bytes head = r.head;
            if (!head.empty() && head[0] == 0x36 && head.size() > 2) head.resize(2);
            reqs.push_back(spaced(head));
        }
        for (const auto& d : report.downloads) {
            char addr[16];
            std::snprintf(addr, sizeof addr, "%08X", d.address);
            mem.push_back(std::string(addr) + " " + d.sha256 + " " + d.check);
        }
        for (const auto& v : report.violations) violations.push_back(v.reason);
        resets = report.resets;
        ecusim::InProcess::stop();
    } else {
        for (const auto& r : ecu.requests) reqs.push_back(spaced(r));
        for (const auto& m : ecu.memory) {
            char addr[16];
            std::snprintf(addr, sizeof addr, "%08X", m.first);
            mem.push_back(std::string(addr) + " " + hex(m.second));
        }
    }
    writeText(dir + "/resets.txt", std::to_string(resets));
    writeLines(dir + "/requests.txt", reqs);
    writeLines(dir + "/memory.txt", mem);
    writeLines(dir + "/violations.txt", violations);
    LOG_vClose();
    _exit(result);
}

// ---- parent side ---------------------------------------------------------------------------

std::vector<std::string> fileLines(const std::string& path) {
    std::vector<std::string> out;
    std::istringstream in(readFile(path));
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

// Ends the child by its PID in every outcome.
struct ChildGuard {
    pid_t pid = -1;
    ~ChildGuard() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
};

Outcome runScenario(int index, const std::string& dir) {
    Outcome o;
    const std::string self = "/proc/self/exe";
    const std::string filter = "--gtest_filter=SeqRunChild.Scenario";
    const std::string envIndex = "KESTRUM_SEQ_SCENARIO=" + std::to_string(index);
    const std::string envDir = "KESTRUM_SEQ_DIR=" + dir;
    std::vector<char*> argv = {const_cast<char*>(self.c_str()), const_cast<char*>(filter.c_str()), nullptr};
    std::vector<char*> envp;
    for (char** e = environ; *e; ++e) envp.push_back(*e);
    envp.push_back(const_cast<char*>(envIndex.c_str()));
    envp.push_back(const_cast<char*>(envDir.c_str()));
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string out = dir + "/child_output.txt";
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    ChildGuard guard;
    const int rc = posix_spawn(&guard.pid, self.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        ADD_FAILURE() << "spawn failed";
        return o;
    }
    // A run against the scripted ECU takes well under a second; the bound only guards a hang.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int status = 0;
    for (;;) {
        const pid_t w = waitpid(guard.pid, &status, WNOHANG);
        if (w == guard.pid) {
            guard.pid = -1;
            break;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "scenario did not end";
            return o;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    o.log = logMessages(dir + "/log.txt");
    o.requests = fileLines(dir + "/requests.txt");
    o.memory = fileLines(dir + "/memory.txt");
    o.violations = fileLines(dir + "/violations.txt");
    o.package = fileLines(dir + "/package.txt");
    o.resets = std::atoi(readFile(dir + "/resets.txt").c_str());
    return o;
}

std::string replaceRoot(std::string s, const std::string& root) {
    const auto pos = s.find("{ROOT}");
    if (pos != std::string::npos) s.replace(pos, 6, root);
    return s;
}

TEST(SeqRunChild, Scenario) {
    const char* index = std::getenv("KESTRUM_SEQ_SCENARIO");
    const char* dir = std::getenv("KESTRUM_SEQ_DIR");
    if (index == nullptr || dir == nullptr) GTEST_SKIP() << "runs only as the child of SeqRun";
    runChild(std::atoi(index), dir);
}

TEST(SeqRun, ScenarioTable) {
    const auto& table = scenarios();
    for (size_t i = 0; i < table.size(); ++i) {
        const Scenario& sc = table[i];
        SCOPED_TRACE(sc.name);
        TempDir tmp;
        const Outcome o = runScenario(static_cast<int>(i), tmp.path);
        EXPECT_EQ(sc.exitCode, o.exitCode);
        if (sc.exitCode <= 1) {
            EXPECT_TRUE(o.violations.empty()) << o.violations.front();
        }

        int at = 0;
        for (const auto& raw : sc.lines) {
            const std::string line = replaceRoot(raw, tmp.path + "/datflash");
            const int found = indexOf(o.log, line, at);
            EXPECT_GE(found, 0) << "missing (in order): " << line;
            if (found >= 0) at = found + 1;
        }
        for (const auto& line : sc.absent) EXPECT_FALSE(hasLine(o.log, line)) << "unexpected: " << line;

        size_t r = 0;
        for (const auto& prefix : sc.requestsInOrder) {
            while (r < o.requests.size() && o.requests[r].rfind(prefix, 0) != 0) ++r;
            EXPECT_LT(r, o.requests.size()) << "request missing (in order): " << prefix;
            if (r < o.requests.size()) ++r;
        }
        for (const auto& prefix : sc.requestsAbsent) EXPECT_EQ(0, countPrefix(o.requests, prefix)) << prefix;
        if (sc.check) sc.check(o);

        // Every run ends with the END line followed by the closing line, and an error ending
        // is announced exactly once.
        if (o.exitCode != 3) {
            ASSERT_GE(o.log.size(), 2u);
            EXPECT_EQ(0u, o.log.back().rfind("----- Finished -----", 0));
            EXPECT_EQ(0u, o.log[o.log.size() - 2].rfind("FLASH: *** END (Result", 0));
        }
        const int failed = static_cast<int>(std::count(o.log.begin(), o.log.end(), "TEST EVENT FlashingFailed"));
        EXPECT_EQ(sc.exitCode >= 4 && sc.name != std::string("exception below the procedure ends the run with 5 and the closing lines") ? 1 : 0,
                  failed);
        // The run-time line follows the banner and its event.
        const int runtime = static_cast<int>(
            std::find_if(o.log.begin(), o.log.end(), [](const std::string& l) { return l.rfind("FLASH: Runtime: ", 0) == 0; }) -
            o.log.begin());
        if (o.exitCode != 3 && sc.name != std::string("exception below the procedure ends the run with 5 and the closing lines")) {
            EXPECT_LT(runtime, static_cast<int>(o.log.size()));
            EXPECT_EQ(0u, o.log[runtime + 1].rfind("FLASH: End: ", 0));
        }
        if (HasFailure()) {
            std::string dump;
            for (const auto& l : o.log) dump += l + "\n";
            std::string reqs;
            for (const auto& q : o.requests) reqs += q.substr(0, 40) + "\n";
            ADD_FAILURE() << "log of the failing scenario:\n" << dump << "\nrequests:\n" << reqs;
            return;
        }
    }
}

}  // namespace
