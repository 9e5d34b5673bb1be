// kestrum_ecusim: a strict simulated VW 80126 instrument cluster for trying flashes without a
// vehicle. Serves UDS over DoIP on a loopback (or any numeric) address, writes a JSON report of
// the session on exit and keeps its identifications in an optional state file.
#include <CLI/CLI.hpp>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <thread>

#include "sim/can_server.h"
#include "sim/doip_server.h"
#include "sim/ecu_model.h"
#include "sim/package_sa2.h"
#include "sim/report_json.h"
#include "sim/sim_log.h"
#include "sim/state_file.h"

namespace {

std::atomic<bool> g_stop{false};
void onSignal(int) { g_stop = true; }

bool parseRegion(const std::string& text, ecusim::Region& r) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return false;
    try {
        size_t used = 0;
        const unsigned long long a = std::stoull(text.substr(0, colon), &used, 0);
        if (used != colon) return false;
        const std::string sz = text.substr(colon + 1);
        const unsigned long long s = std::stoull(sz, &used, 0);
        if (used != sz.size() || a > 0xFFFFFFFFull || s > 0xFFFFFFFFull) return false;
        r.start = static_cast<uint32_t>(a);
        r.size = static_cast<uint32_t>(s);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace

int main(int argc, char** argv) {
    ecusim::EcuConfig ecu;
    ecusim::DoipServerConfig doip;
    std::vector<std::string> blockVersions{"0001", "0001"};
    std::vector<std::string> ramRegions;
    std::string sa2Hex, packagePath, stateFile, reportFile, portFile;
    int keyType = 0;
    bool inconsistent = false;
    int verbosity = 0;
    int tester = 0x0E80;

    CLI::App app{"Simulated VW 80126 instrument cluster answering UDS over DoIP"};
    app.set_version_flag("--version", "kestrum_ecusim 1.0");
    // Network front-end.
    app.add_option("--ip", doip.ip, "numeric IPv4 or IPv6 address to listen on\nDefault: 127.0.0.1");
    app.add_option("--port", doip.port, "DoIP TCP and UDP port, 0 for free ports\nDefault: 13400");
    app.add_option("--udp_port", doip.udpPort, "DoIP UDP port when it differs from --port, 0 a free port");
    app.add_option("--port_file", portFile, "write \"<tcp port> <udp port>\" here once listening");
    app.add_option("--logical_address", doip.logicalAddress, "DoIP logical address of the ECU\nDefault: 0x1014");
    app.add_option("--functional_address", doip.functionalAddress, "DoIP functional address\nDefault: 0xE400");
    app.add_option("--tester_address", tester, "tester address allowed to activate routing, -1 any\nDefault: 0x0E80");
    app.add_option("--vin", doip.vin, "vehicle identification number (17 characters)");
    app.add_option("--announce_ip", doip.announceIp, "send vehicle announcements to this address (start, lost connections)");
    app.add_option("--announce_port", doip.announcePort, "port of the announcements\nDefault: 13400");
    app.add_option("--announce_count", doip.announceCount, "announcements per occasion\nDefault: 3");
    app.add_option("--announce_every_ms", doip.announceEveryMs, "also announce this often while running, 0 never");
    app.add_option("--alive_check_ms", doip.aliveCheckEveryMs, "send alive check requests this often, 0 never");
    // CAN front-end: ISO-TP sockets on a SocketCAN interface.
    ecusim::CanServerConfig can;
    std::string canChannel, canfd;
    app.add_option("--can_channel", canChannel, "also serve UDS over ISO-TP on this CAN interface (e.g. vcan0)");
    app.add_option("--use_canfd", canfd, "CAN FD link layer options <mtu>:<tx_dl>:<tx_flags>, e.g. 72:64:1");
    app.add_option("--tester_phy_req_id", can.physicalId, "CAN id of the tester's physical requests\nDefault: 0x714");
    app.add_option("--tester_func_req_id", can.functionalId, "CAN id of the tester's functional requests\nDefault: 0x700");
    app.add_option("--ecu_resp_id", can.responseId, "CAN id of the ECU's answers\nDefault: 0x77E");
    app.add_option("--can_padding_byte", can.padding, "ISO-TP padding byte, required in the tester's frames\nDefault: 0xAA");
    // Identifications.
    app.add_option("--part_number", ecu.sparePartNumber, "VW spare part number (0xF187)");
    app.add_option("--sw_version", ecu.softwareVersion, "application software version (0xF189, 4 characters)");
    app.add_option("--hw_number", ecu.hardwareNumber, "ECU hardware number (0xF191)");
    app.add_option("--hw_version", ecu.hardwareVersion, "ECU hardware version (0xF1A3)");
    app.add_option("--block_versions", blockVersions, "logical block versions (0xF1AB), 4 characters each");
    app.add_option("--key_type", keyType, "0 development key, 1 series key (0xF1D5)")->check(CLI::Range(0, 1));
    app.add_flag("--inconsistent", inconsistent, "start with inconsistent software (0xF1DF)");
    app.add_option("--state_file", stateFile, "load identifications from this file if it exists, save them on exit");
    // Behaviour.
    app.add_option("--sa2_program", sa2Hex, "SA2 program (hex bytes) the keys are checked with");
    app.add_option("--package", packagePath, "take the SA2 program from this PDX archive or ODX-F file");
    app.add_option("--ram_region", ramRegions, "address:size of RAM where downloads need no erase (repeatable)");
    app.add_option("--max_block_length", ecu.maxNumberOfBlockLength, "maxNumberOfBlockLength of RequestDownload\nDefault: 4095");
    app.add_option("--p2", ecu.p2Raw, "P2 value sent in the session control answer\nDefault: 0x0032");
    app.add_option("--p2_star", ecu.p2StarRaw, "P2* value (10 ms units) sent in the session control answer\nDefault: 0x01F4");
    app.add_flag("--keep_download_on_disconnect", ecu.keepDownloadOnDisconnect,
                 "a lost connection leaves an active download open (else it is aborted)");
    app.add_flag("--allow_programming_from_default", ecu.allowProgrammingFromDefault,
                 "accept the programming session straight from the default session");
    app.add_option("--report", reportFile, "write the JSON session report here on exit");
    app.add_flag("-v", verbosity, "more log lines on standard error (repeatable)");
    // Fault injection.
    auto& f = ecu.faults;
    app.add_option("--pending", f.pendingCount, "answer with N response-pending answers first");
    app.add_option("--pending_sid", f.pendingSid, "only for this service identifier");
    app.add_option("--busy", f.busyCount, "answer the first matching request N times with busy-repeat");
    app.add_option("--busy_sid", f.busySid, "only for this service identifier");
    app.add_option("--answer_delay_ms", f.answerDelayMs, "hold every answer back this long");
    app.add_flag("--refuse_key", f.refuseKey, "answer every key with invalidKey");
    app.add_flag("--preconditions_fail", f.preconditionsFail, "report a failed programming precondition");
    app.add_option("--update_progress_polls", f.updateProgressPolls, "update execution is in progress for N polls\nDefault: 2");
    app.add_option("--missing_ack_at", doip.faults.missingAckAt, "lose the Nth diagnostic message (no acknowledgement)");
    app.add_option("--negative_ack_at", doip.faults.negativeAckAt, "negatively acknowledge the Nth diagnostic message");
    app.add_option("--negative_ack_code", doip.faults.negativeAckCode, "code of that negative acknowledgement\nDefault: 0x08");
    app.add_option("--ack_fault_sid", doip.faults.ackFaultSid, "count only this service's messages for the two above");
    app.add_option("--drop_after_transfer_data", doip.faults.dropAfterTransferData, "drop the connection after the Nth TransferData");
    app.add_flag("--drop_before_answer", doip.faults.dropBeforeAnswer, "drop it before that TransferData's answer (lost)");
    app.add_flag("--drop_while_pending", doip.faults.dropWhilePending,
                 "drop it after a response-pending answer; the answer follows on the next connection");
    app.add_option("--refuse_routing", doip.faults.refuseRouting, "refuse the first N routing activations");
    app.add_option("--refuse_routing_code", doip.faults.refuseRoutingCode, "response code of the refusals\nDefault: 0x00");
    CLI11_PARSE(app, argc, argv);

    ecusim::setLogVerbosity(verbosity);
    doip.testerAddress = tester;
    ecu.seriesKey = keyType == 1;
    ecu.consistent = !inconsistent;
    ecu.blocks.clear();
    for (const std::string& v : blockVersions) {
        if (v.size() != 4) {
            std::fprintf(stderr, "kestrum_ecusim: block version '%s' is not 4 characters\n", v.c_str());
            return 2;
        }
        ecusim::LogicalBlock b;
        b.version = v;
        ecu.blocks.push_back(b);
    }
    if (!ramRegions.empty()) {
        ecu.ramRegions.clear();
        for (const std::string& t : ramRegions) {
            ecusim::Region r;
            if (!parseRegion(t, r)) {
                std::fprintf(stderr, "kestrum_ecusim: --ram_region '%s' is not address:size\n", t.c_str());
                return 2;
            }
            ecu.ramRegions.push_back(r);
        }
    }
    if (!sa2Hex.empty() && !ecusim::parseHexBytes(sa2Hex, ecu.sa2Program)) {
        std::fprintf(stderr, "kestrum_ecusim: --sa2_program is not hex bytes\n");
        return 2;
    }
    if (!packagePath.empty()) {
        std::string error;
        if (!ecusim::readSa2FromPackage(packagePath, ecu.sa2Program, error)) {
            std::fprintf(stderr, "kestrum_ecusim: %s\n", error.c_str());
            return 2;
        }
    }
    if (!stateFile.empty() && access(stateFile.c_str(), F_OK) == 0) {
        std::string error;
        if (!ecusim::loadState(stateFile, ecu, error)) {
            std::fprintf(stderr, "kestrum_ecusim: state file: %s\n", error.c_str());
            return 2;
        }
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ecusim::EcuModel model(ecu);
    ecusim::DoipServer server(model, doip);
    try {
        server.start();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kestrum_ecusim: %s\n", e.what());
        return 3;
    }
    std::unique_ptr<ecusim::CanServer> canServer;
    if (!canChannel.empty()) {
        can.interface = canChannel;
        if (!canfd.empty() && !ecusim::parseCanFdOptions(canfd, can)) {
            std::fprintf(stderr, "kestrum_ecusim: --use_canfd '%s' is not <mtu>:<tx_dl>:<tx_flags>\n", canfd.c_str());
            return 2;
        }
        canServer = std::make_unique<ecusim::CanServer>(model, can);
        try {
            canServer->start();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "kestrum_ecusim: %s\n", e.what());
            return 3;
        }
    }
    if (!portFile.empty()) {
        const std::string tmp = portFile + ".tmp";
        {
            std::ofstream pf(tmp);
            pf << server.tcpPort() << " " << server.udpPort() << "\n";
        }
        std::rename(tmp.c_str(), portFile.c_str());
    }
    while (!g_stop) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (canServer) canServer->stop();
    server.stop();

    int rc = 0;
    const ecusim::EcuConfig finalState = model.identity();
    if (!reportFile.empty() && !ecusim::writeReport(reportFile, model.report(), finalState)) {
        std::fprintf(stderr, "kestrum_ecusim: cannot write the report %s\n", reportFile.c_str());
        rc = 1;
    }
    if (!stateFile.empty() && !ecusim::saveState(stateFile, finalState)) {
        std::fprintf(stderr, "kestrum_ecusim: cannot write the state file %s\n", stateFile.c_str());
        rc = 1;
    }
    ecusim::logLine(0, "stopped");
    return rc;
}
