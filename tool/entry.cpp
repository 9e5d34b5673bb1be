#include "tool/entry.h"

#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#include "doip/wire/data2hex.h"
#include "tool/doip_channel.h"
#include "tool/request_input.h"
#include "tool/send_receive.h"
#include "tool/tool_log.h"

sockets::SocketOptions GetSocketOptions(const Config& config) {
    sockets::SocketOptions options;
    options.targetIp = config.TargetIp();
    options.targetPort = config.TargetPort();
    options.sourcePort = config.SourcePort();
    options.bindSource = config.BindSourcePort();
    return options;
}

namespace quorvel {

namespace {

// Display lines of vehicle identification and announcements: standard output, always.
void PrintLine(const std::string& line) { LOG<&NoPrefix>("%s", line.c_str()); }

int Run(const Config& config) {
    verboseLog = config.Verbose();

    if (config.SendVir()) {
        return DoipChannel::PollVehicleIdentity(GetSocketOptions(config), config.Timeout_s(), PrintLine) ? 0 : -1;
    }
    if (config.ListenVam()) {
        return DoipChannel::ListenVehicleAnnouncement(GetSocketOptions(config), config.Timeout_s(),
                                                      config.DiagTargetAddress(), PrintLine)
                   ? 0
                   : -1;
    }

    const std::vector<uint8_t> request = ReadRequest(stdin);
    LOG<&LogDebugPrefix>("Quorvel: Input hexadecimal data: %s",
                         data2hex::ArrayToHexString<data2hex::NoSeparator>(request.data(), request.size()).c_str());
    const uds::UdsOptions udsOptions = MakeUdsOptions(config);
    return SendReceive(config, [&]() -> std::optional<uds::UdsResult> {
        DoipChannel channel(config.DiagSourceAddress(), config.DisconnectHook());
        if (!channel.Open(GetSocketOptions(config))) return std::nullopt;
        return uds::UDS__Send(udsOptions, channel, config.DiagTargetAddress(), request);
    });
}

}  // namespace

int Main(int argc, const char* const* argv) {
    // A peer that resets the connection must show up as a failed write, not end the process.
    signal(SIGPIPE, SIG_IGN);
    Config config;
    try {
        config = Config::Create(argc, argv);
    } catch (const std::exception& e) {
        printf("%s\n", e.what());
        fflush(stdout);
        return -1;
    } catch (...) {
        printf("\n");
        fflush(stdout);
        return -1;
    }

    if (config.getVersion()) {
        fputs(VersionText().c_str(), stdout);
        fflush(stdout);
        return 0;
    }

    try {
        return Run(config);
    } catch (const std::exception& e) {
        LOG<&LogErrorPrefix>("%s", e.what());
    } catch (...) {
        LOG<&LogErrorPrefix>("Quorvel: unknown failure");
    }
    return -1;
}

}  // namespace quorvel
