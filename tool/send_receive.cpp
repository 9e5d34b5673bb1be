#include "tool/send_receive.h"

#include <chrono>
#include <cstdio>
#include <exception>

#include "doip/wire/data2hex.h"
#include "tool/tool_log.h"

namespace quorvel {

namespace {
constexpr const char* kVersion = "";
constexpr const char* kBuildNumber = "9615";
}  // namespace

std::string VersionText() {
    return std::string("Quorvel: ") + kVersion + " (" + kBuildNumber + ") " + __DATE__ + " - " + __TIME__;
}

uds::UdsOptions MakeUdsOptions(const Config& config) {
    uds::UdsOptions options;
    options.p3Client_ms = config.P3Client_ms();
    options.p2Server_ms = config.P2Server_ms();
    options.p2ExtServer_ms = config.P2ExtServer_ms();
    options.suppressPositiveResponse = config.SuppressPositiveResponse();
    return options;
}

int SendReceive(const Config& config, const Attempt& attempt) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(config.UseTimeout() ? config.Timeout_s() : 0);
    for (int32_t number = 1; number <= config.Retries(); ++number) {
        if (config.UseTimeout() && Clock::now() >= deadline) break;
        try {
            const std::optional<uds::UdsResult> result = attempt();
            if (!result) continue;
            // Written directly, not through the line logger: a response may be longer than a
            // log line.
            std::string line = data2hex::ArrayToHexString<data2hex::CharacterSeparator<' '>>(
                result->response.data(), result->response.size());
            line += '\n';
            fwrite(line.data(), 1, line.size(), stdout);
            fflush(stdout);
            if (result->status == 0) return 0;
        } catch (const std::exception& e) {
            LOG<&LogErrorPrefix>("%s", e.what());
        }
    }
    return -1;
}

}  // namespace quorvel
