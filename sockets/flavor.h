// Build flavour of the socket layer and the DoIP wire code: where their messages go and
// whether the reduced behaviour of the send/receive tool applies.
//
// One source serves the flasher, the tool and the simulator. The flasher flavour logs
// errors through LOG_vError and progress through LOG_vDebug_2 (LOG_vDebug_3 where a caller
// asks for level 3). The tool defines its own flavour that writes through its own logger
// and sets `tool`, which selects the tool's reduced socket behaviour (no alive output of the
// poll, no lingering shutdown, shorter write error text, no multicast step, EINPROGRESS only).
#pragma once

#include <cstdio>
#include <string>

namespace sockets {

struct Flavor {
    // Receives one finished error line (already cut to 199 characters).
    void (*error)(const char* text);
    // Receives one finished progress line; level is the flasher's debug level (1..3).
    void (*debug)(int level, const char* text);
    // true: the tool's reduced behaviour.
    bool tool;
};

// The flasher's flavour (the default of every class and function of this layer).
const Flavor& FlasherFlavor();

// Format into a 200-character buffer (cut at 199) and hand the line to the flavour's sink.
void LogError(const Flavor& flavor, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void LogDebug(const Flavor& flavor, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// The flasher's formatting helpers for callers outside this layer: one or two text
// arguments, logged at debug level 2.
void LOG_vDebug(const char* fmt, const std::string& a);
void LOG_vDebug(const char* fmt, const std::string& a, const std::string& b);

}  // namespace sockets
