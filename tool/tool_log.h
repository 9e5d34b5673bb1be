// The send/receive tool's own small logger.
//
// LOG<&NoPrefix> writes result lines to standard output, always. LOG<&LogErrorPrefix> and
// LOG<&LogDebugPrefix> write diagnostic lines to standard error, only when `verboseLog` is set
// (option -v). A line is the prefix, the printf-formatted text cut to 199 characters and a line
// break, written with one output operation and flushed.
#pragma once

#include <atomic>
#include <cstdarg>

inline constexpr const char* LogErrorPrefix = "Error:";
inline constexpr const char* LogDebugPrefix = "Debug:";
inline constexpr const char* NoPrefix = "";

// Set from -v right after the command line is parsed.
extern std::atomic<bool> verboseLog;

namespace toollog {
// Writes one line; `toStdout` picks the stream. Diagnostic lines are dropped without verboseLog.
void vWrite(const char* prefix, bool toStdout, const char* fmt, va_list args);
}  // namespace toollog

template <const char* const* Prefix>
void LOG(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

template <const char* const* Prefix>
void LOG(const char* fmt, ...) {
    const bool toStdout = Prefix == &NoPrefix;
    if (!toStdout && !verboseLog.load()) return;
    va_list args;
    va_start(args, fmt);
    toollog::vWrite(*Prefix, toStdout, fmt, args);
    va_end(args);
}
