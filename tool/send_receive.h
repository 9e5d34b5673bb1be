// Send/receive mode of the tool: the attempt loop with its retries and deadline.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tool/config.h"
#include "tool/uds_exchange.h"

namespace quorvel {

// "Quorvel: <version> (<build>) <date> - <time>", without line break.
std::string VersionText();

// One attempt: opens a fresh channel and exchanges the request. nullopt when the channel could
// not be opened; exceptions count as a failed attempt.
using Attempt = std::function<std::optional<uds::UdsResult>()>;

// Runs up to Retries() attempts (stopping early at the deadline of --timeout), prints every
// response, and returns the exit code: 0 for a response with status 0, -1 otherwise.
int SendReceive(const Config& config, const Attempt& attempt);

// The exchange options of one attempt, taken from the command line.
uds::UdsOptions MakeUdsOptions(const Config& config);

}  // namespace quorvel
