// kestrum_flasher over DoIP against the simulated ECU (kestrum_ecusim) on loopback.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "e2e/station.h"

namespace {

using namespace e2e;

class DoipFlash : public ProgramsBuilt {};

TEST_F(DoipFlash, FlashesTheSimulatedEcuOverIpv4AndIpv6) {
    for (const char* ip : {"127.0.0.1", "::1"}) {
        Station station(ip, {}, {});
        ASSERT_TRUE(station.ready()) << ip;
        const ProcessResult first = RunProcess(station.flasher(), "", std::chrono::seconds(120));
        const std::string log = readFile(station.log());
        EXPECT_EQ(first.exitCode, 0) << ip << "\n" << log;
        EXPECT_NE(log.find("FLASH: *** END (Result 0)"), std::string::npos) << ip;
        EXPECT_NE(log.find("----- Finished -----"), std::string::npos) << ip;
        EXPECT_EQ(log.find("[ERR    ]"), std::string::npos) << ip << "\n" << log;
        const std::string report = station.stopEcu();
        EXPECT_TRUE(station.allBlocksVerified(report)) << ip << "\n" << report;
        if (std::string(ip) == "127.0.0.1") {
            // The same package again (the ECU restarted from its state file): the software is current now.
            ASSERT_TRUE(station.startEcu("0"));
            const ProcessResult second = RunProcess(station.flasher(), "", std::chrono::seconds(120));
            EXPECT_EQ(second.exitCode, 1) << readFile(station.log());
        }
    }
}

TEST_F(DoipFlash, SigtermDuringADownloadEndsTheRunWithItsClosingLine) {
    // A 4 MiB data block and a slow ECU: the download lasts long enough to be interrupted.
    Station station("127.0.0.1", {"--extern_size", "4194304"}, {"--answer_delay_ms", "3"});
    ASSERT_TRUE(station.ready());
    auto flasher = station.spawnFlasher();
    // The data-file block is the last download; SIGTERM goes out as soon as it starts.
    ASSERT_TRUE(waitUntil(
        [&] { return readFile(station.log()).find("Download DataBlock    StartAddr:   0x00090000") != std::string::npos; },
        std::chrono::seconds(120)))
        << readFile(station.log());
    ASSERT_EQ(kill(flasher->pid(), SIGTERM), 0);
    flasher->wait(std::chrono::seconds(60));
    const int status = flasher->exitCode();
    const std::string log = readFile(station.log());
    EXPECT_EQ(status, 15) << log;
    EXPECT_NE(log.find("----- Finished -----"), std::string::npos) << log;
    EXPECT_EQ(log.find("FLASH: *** END (Result 0)"), std::string::npos) << log;
}

}  // namespace
