// Entry of the send/receive tool.
#pragma once

#include "sockets/sockets.h"
#include "tool/config.h"

namespace quorvel {

// Runs the tool; returns the exit code (0 success, -1 everything else). Never throws.
int Main(int argc, const char* const* argv);

}  // namespace quorvel

// Socket options of the ECU connection from the command line.
sockets::SocketOptions GetSocketOptions(const Config& config);
