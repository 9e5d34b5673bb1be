// kestrum_flasher over DoIP against a simulated ECU that misbehaves the way a vehicle network
// does: dropped connections, lost and refused acknowledgements, response-pending storms, busy
// answers, alive checks, a late or silent ECU, and the hook scripts around a restore.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "e2e/station.h"

namespace {

using namespace e2e;

class DoipFaults : public ProgramsBuilt {};

struct FaultCase {
    const char* name;
    std::vector<std::string> simArgs;
    std::vector<int> exitCodes;         // exit codes of the flasher that are right here
    std::vector<std::string> logLines;  // must appear in the log
    std::vector<std::string> absent;    // must not appear in the log
};

// Runs one flash of the sample package against the faulty ECU and checks the outcome: the
// expected exit code, the closing line, never a success banner on failure, all blocks verified
// on success.
void RunFaultCase(const FaultCase& c, std::vector<std::string> flasherArgs = {}) {
    SCOPED_TRACE(c.name);
    Station station("127.0.0.1", {}, c.simArgs);
    ASSERT_TRUE(station.ready());
    const ProcessResult run = RunProcess(station.flasher(flasherArgs), "", std::chrono::seconds(180));
    const std::string log = readFile(station.log());
    const std::string report = station.stopEcu();
    EXPECT_FALSE(run.timedOut) << log;
    EXPECT_NE(std::find(c.exitCodes.begin(), c.exitCodes.end(), run.exitCode), c.exitCodes.end())
        << "exit code " << run.exitCode << "\n" << log << report;
    EXPECT_NE(log.find("----- Finished -----"), std::string::npos) << log;
    for (const std::string& line : c.logLines) EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    for (const std::string& line : c.absent) EXPECT_EQ(log.find(line), std::string::npos) << line << "\n" << log;
    if (run.exitCode == 0) {
        EXPECT_TRUE(station.allBlocksVerified(report)) << report;
    } else {
        EXPECT_EQ(log.find("Programming Okay"), std::string::npos) << log;
    }
}

TEST_F(DoipFaults, ConnectionDroppedDuringADownload) {
    const std::vector<FaultCase> cases = {
        // The ECU works on TransferData 3 (response pending) when the connection drops; the
        // tester is idle between two requests, restores the connection, receives the answer
        // there and goes on with TransferData 4. The ECU keeps its download across the drop,
        // and its P2* leaves room for the restore's announcement listening.
        {"dropped between two requests",
         {"--drop_after_transfer_data", "3", "--drop_while_pending", "--keep_download_on_disconnect", "--p2_star",
          "0x0BB8"},
         {0},
         {"DoIP: TCP: Connection is broken", "DOIP: Try to restore connection", "Programming Okay"},
         {"No ACK"}},
        // Dropped right after an answer: a race between the read thread noticing the drop and
        // the next TransferData. When the request went into the dead connection it is never
        // acknowledged and fails the run (a sent request is not repeated); when the restore came
        // first the flash completes. Either way: a verified flash or a failure, never a false success.
        {"dropped right after an answer",
         {"--drop_after_transfer_data", "3", "--keep_download_on_disconnect"},
         {0, 5},
         {"DOIP: Try to restore connection"},
         {}},
        // Dropped while a request waits for its answer: the answer is lost.
        {"dropped before an answer", {"--drop_after_transfer_data", "2", "--drop_before_answer"}, {5},
         {"DOIP: Try to restore connection"}, {}},
    };
    for (const FaultCase& c : cases) RunFaultCase(c);
}

TEST_F(DoipFaults, EcuGoneForGoodEndsTheRunAfterFailedRestores) {
    // A 4 MiB data block and a slow ECU, which dies during that download.
    Station station("127.0.0.1", {"--extern_size", "4194304"}, {"--answer_delay_ms", "3"});
    ASSERT_TRUE(station.ready());
    auto flasher = station.spawnFlasher({"--p2_ext_server", "1000"});
    ASSERT_TRUE(waitUntil(
        [&] { return readFile(station.log()).find("Download DataBlock    StartAddr:   0x00090000") != std::string::npos; },
        std::chrono::seconds(120)));
    station.ecu->signal(SIGKILL);
    station.ecu->wait(std::chrono::seconds(20));
    // Every later request tries a restore (announcement listening plus the reconnection window).
    flasher->wait(std::chrono::seconds(240));
    const int status = flasher->exitCode();
    const std::string log = readFile(station.log());
    EXPECT_EQ(status, 5) << log;
    EXPECT_NE(log.find("DOIP: error.what() DoipChannel: connection is lost"), std::string::npos) << log;
    EXPECT_EQ(log.find("Programming Okay"), std::string::npos) << log;
    EXPECT_NE(log.find("----- Finished -----"), std::string::npos) << log;
}

TEST_F(DoipFaults, AcknowledgementFaults) {
    const std::vector<FaultCase> cases = {
        // A negative acknowledgement fails the request; the connection is fine, no restore.
        {"negative acknowledgement",
         {"--ack_fault_sid", "0x36", "--negative_ack_at", "2", "--negative_ack_code", "0x03"},
         {5},
         {"DOIP: SID 0x36: Negative ACK \"unknown target address\"", "UDS: SID 0x36 .. Send failed"},
         {"Try to restore connection"}},
        // No acknowledgement: the connection is restored and the request fails cleanly.
        {"missing acknowledgement",
         {"--ack_fault_sid", "0x36", "--missing_ack_at", "2"},
         {5},
         {"DOIP_boSendUDS: No ACK: start restore", "DOIP: Try to restore connection", "UDS: SID 0x36 .. Send failed"},
         {}},
    };
    for (const FaultCase& c : cases) RunFaultCase(c);
}

TEST_F(DoipFaults, PendingStormsAndBusyAnswers) {
    const std::vector<FaultCase> cases = {
        {"30 pending answers before every routine result", {"--pending", "30", "--pending_sid", "0x31"}, {0}, {}, {}},
        {"pending answers before every TransferData answer", {"--pending", "3", "--pending_sid", "0x36"}, {0}, {}, {}},
        {"four busy answers, then the download is accepted", {"--busy", "4", "--busy_sid", "0x34"}, {0},
         {"UDS: SID 0x34 .. Negative Response 0x21 - \"BusyRepeatRequest\""}, {}},
        {"five busy answers are too many", {"--busy", "5", "--busy_sid", "0x34"}, {5},
         {"UDS: SID 0x34 - Too many requests"}, {}},
    };
    for (const FaultCase& c : cases) RunFaultCase(c);
}

TEST_F(DoipFaults, AliveChecksDuringTheDownloadAreAnsweredWithTheTesterAddress) {
    // A 1 MiB data block, answers slowed a little: alive checks arrive while requests wait.
    Station station("127.0.0.1", {"--extern_size", "1048576"}, {"--alive_check_ms", "40", "--answer_delay_ms", "1"});
    ASSERT_TRUE(station.ready());
    const ProcessResult run = RunProcess(station.flasher(), "", std::chrono::seconds(180));
    const std::string report = station.stopEcu();
    EXPECT_EQ(run.exitCode, 0) << readFile(station.log());
    EXPECT_TRUE(station.allBlocksVerified(report)) << report;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(report, m, std::regex("\"alive_checks\": \\{\"sent\": (\\d+), \"answered\": (\\d+)\\}")))
        << report;
    const int sent = std::stoi(m[1]), answered = std::stoi(m[2]);
    EXPECT_GE(sent, 5);
    // The last one may still be on its way when the flasher closes the connection.
    EXPECT_GE(answered, sent - 1);
    EXPECT_EQ(report.find("alive check answered with source address"), std::string::npos) << report;
}

TEST_F(DoipFaults, TesterPresentGoesOutOncePerCycleToTheFunctionalAddress) {
    const int cycleMs = 250;
    Station station("127.0.0.1", {"--extern_size", "1048576"}, {"--answer_delay_ms", "2"});
    ASSERT_TRUE(station.ready());
    const ProcessResult run = RunProcess(station.flasher({"--tester_present_cycletime_msec", std::to_string(cycleMs)}), "",
                                         std::chrono::seconds(180));
    const std::string report = station.stopEcu();
    EXPECT_EQ(run.exitCode, 0) << readFile(station.log());
    // Every tester present is functional, suppressed and unanswered.
    std::vector<long> times;
    const std::regex line("\\{\"t_ms\": (\\d+), \"addressing\": \"(\\w+)\", \"length\": \\d+, \"request\": \"3E([0-9A-F]*)\", "
                          "\"answers\": \\[([^\\]]*)\\]\\}");
    for (auto it = std::sregex_iterator(report.begin(), report.end(), line); it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        EXPECT_EQ(m[2].str(), "functional") << m[0];
        EXPECT_EQ(m[3].str(), "80") << m[0];
        EXPECT_EQ(m[4].str(), "") << m[0];
        times.push_back(std::stol(m[1]));
    }
    ASSERT_GE(times.size(), 4u) << report;
    // Never more than one a cycle; on average about one a cycle (generous bounds).
    for (size_t i = 1; i < times.size(); ++i) EXPECT_GE(times[i] - times[i - 1], cycleMs * 8 / 10) << i;
    const double average = double(times.back() - times.front()) / double(times.size() - 1);
    EXPECT_LE(average, 2.0 * cycleMs);
}

TEST_F(DoipFaults, HookScriptsGetTheTargetAddressAndDecideByTheirExitCode) {
    Station station("127.0.0.1", {},
                    {"--drop_after_transfer_data", "3", "--drop_while_pending", "--keep_download_on_disconnect",
                     "--p2_star", "0x0BB8"});
    ASSERT_TRUE(station.ready());
    const std::string hook = station.dir + "/hook.sh", record = station.dir + "/hook.log";
    {
        std::ofstream script(hook);
        script << "#!/bin/sh\necho \"$*\" >> '" << record << "'\nexit 0\n";
    }
    ASSERT_EQ(chmod(hook.c_str(), 0755), 0);
    const ProcessResult run =
        RunProcess(station.flasher({"--connect_hook", hook + " connect", "--disconnect_hook", hook + " disconnect"}), "",
                   std::chrono::seconds(180));
    EXPECT_EQ(run.exitCode, 0) << readFile(station.log());
    const std::string calls = readFile(record);
    // Waiting for the ECU asks the connect hook instead of trying a connection; the restore
    // runs the disconnect hook once and asks the connect hook before reconnecting.
    EXPECT_GE(Count(calls, "connect 127.0.0.1\n"), 2u) << calls;
    EXPECT_EQ(Count(calls, "disconnect 127.0.0.1\n"), 1u) << calls;

    // A connect hook that fails keeps the wait going for all its attempts.
    std::remove(record.c_str());
    {
        std::ofstream script(hook);
        script << "#!/bin/sh\necho \"$*\" >> '" << record << "'\nexit 3\n";
    }
    const ProcessResult failing =
        RunProcess(station.flasher({"--connect_hook", hook + " connect", "--connect_loop", "3"}), "", std::chrono::seconds(60));
    EXPECT_FALSE(failing.timedOut);
    EXPECT_EQ(Count(readFile(record), "connect 127.0.0.1\n"), 3u) << readFile(record);
}

TEST_F(DoipFaults, ConnectLoopWithASilentAndALateEcu) {
    {
        // Nobody listens: the limited loop ends, the run goes on and fails where the ECU is needed.
        Station silent("127.0.0.1", {}, {}, false);
        silent.tcpPort = FreeTcpPort();
        ASSERT_NE(silent.tcpPort, 0u);
        const ProcessResult run = RunProcess(silent.flasher({"--connect_loop", "2"}), "", std::chrono::seconds(60));
        const std::string log = readFile(silent.log());
        EXPECT_FALSE(run.timedOut) << log;
        EXPECT_NE(run.exitCode, 0) << log;
        EXPECT_NE(log.find("UDS: Waiting for ECU"), std::string::npos) << log;
        EXPECT_NE(log.find("UDS: .. connected"), std::string::npos) << log;
        EXPECT_NE(log.find("----- Finished -----"), std::string::npos) << log;
    }
    {
        // The ECU comes up a few seconds after the flasher started waiting without limit.
        Station late("127.0.0.1", {}, {}, false);
        const uint16_t port = FreeTcpPort();
        ASSERT_NE(port, 0u);
        late.tcpPort = port;
        auto flasher = late.spawnFlasher({"--connect_loop", "0"});
        ASSERT_TRUE(waitUntil([&] { return readFile(late.log()).find("UDS: Waiting for ECU") != std::string::npos; },
                               std::chrono::seconds(60)));
        std::this_thread::sleep_for(std::chrono::seconds(3));
        ASSERT_TRUE(late.startEcu(std::to_string(port)));
        flasher->wait(std::chrono::seconds(120));
        const int status = flasher->exitCode();
        const std::string log = readFile(late.log());
        EXPECT_EQ(status, 0) << log;
        EXPECT_TRUE(late.allBlocksVerified(late.stopEcu()));
    }
}

}  // namespace
