#include "tool/config.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <set>
#include <stdexcept>

Config Config::Create(int argc, const char* const* argv) {
    Config config;
    CLI::App app(
        "Send-Receive UDS command over DoIP\n"
        "The pdu data is expected on STDIN in space separated ASCII hex values.\n\n");
    app.set_help_flag("-h,--help", "Print this help message and exit");

    // The tool checks the required options itself: they are not required with --request_vam,
    // --listen_vam or --version.
    std::set<std::string> missing{"--source_address", "--target_address", "--target_ip"};

    auto* sourceAddress = app.add_option("--source_address", config.diagSourceAddress, "DoIP address of tester");
    auto* targetAddress = app.add_option(
        "--target_address", config.diagTargetAddress,
        "DoIP address of ECU. If --listen_vam is used this parameter defines behavior 0:listen forever, "
        "0xFFFF:stop listening on any valid response, any other address:stop listening when valid "
        "response from this address is received.");
    auto* sourcePort = app.add_option("--source_port", config.sourcePort,
                                      "local TCP/UDP ports. If port is not defined, the system defined port is used");
    auto* targetIp = app.add_option("--target_ip", config.targetIp, "IP address of ECU to flash, IPv4 or IPv6 possible");
    app.add_option("--target_port", config.targetPort, "ECU TCP/UDP ports")->capture_default_str();
    app.add_option("--retries", config.retries, "number of retries")->capture_default_str();
    app.add_option("--timeout", config.timeout_s, "timeout in seconds for different operations")->capture_default_str();
    app.add_option("--disconnect_hook", config.disconnectHook, "This hook script is run if the cluster got disconnected");
    app.add_option("--p3_client", config.p3Client_ms, "p3_client timeout in milliseconds")->capture_default_str();
    app.add_option("--p2_server", config.p2Server_ms, "p2_server timeout in milliseconds")->capture_default_str();
    app.add_option("--p2_ext_server", config.p2ExtServer_ms, "p2_ext_server timeout in milliseconds")->capture_default_str();
    app.add_flag("--suppress_positive_response,--spr", config.suppressPositiveResponse,
                 "interpret timeout as positive response");
    auto* requestVam = app.add_flag("--request_vam", config.sendVir, "request Vehicle Identification");
    requestVam->needs(targetIp);
    auto* listenVam = app.add_flag("--listen_vam", config.listenVam, "listen Vehicle Announcement Message on source_port");
    auto* version = app.add_flag("--version", config.version, "print version and exit");
    app.add_flag("-v", config.verbose, "print extra debug informations to stderr");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        throw std::runtime_error("");
    }

    for (auto* given : {sourceAddress, targetAddress, targetIp}) {
        if (given->count() > 0) missing.erase(given->get_name());
    }
    config.bindSourcePort = sourcePort->count() > 0;

    if (requestVam->count() == 0 && version->count() == 0 && listenVam->count() == 0 && !missing.empty()) {
        std::cout << app.help() << std::endl;
        std::string names;
        for (const auto& name : missing) names += (names.empty() ? "" : ",") + name;
        char text[200];
        snprintf(text, sizeof text, "Config: Missing required option(s): %s", names.c_str());
        throw std::runtime_error(text);
    }
    return config;
}
