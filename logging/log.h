// Process-wide leveled logger of the flasher.
// Lines are formatted by the caller, queued, and written by a writer thread every 10 ms.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace logging {

enum severity_type {
    debug3 = 1,
    debug2 = 2,
    debug1 = 3,
    info = 4,
    warning = 5,
    error = 6,
    file = 7,
};

// Output policy of a logger.
class log_policy_interface {
public:
    virtual void open_out_stream(const std::string& name) = 0;
    virtual void close_out_stream() = 0;
    virtual void write(const std::string& line) = 0;
    virtual ~log_policy_interface() = default;
};

// Header text (time, tag, program tag) for a severity, as written in front of every line.
std::string make_header(int severity);

}  // namespace logging

// Logging calls: printf format, message cut at 199 characters, filtered by verbosity.
void LOG_vError(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void LOG_vWarning(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void LOG_vInfo(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void LOG_vDebug_1(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void LOG_vDebug_2(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void LOG_vDebug_3(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Never filtered; severity 7 (blank tag).
void LOG_vFile(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The text unchanged and unlimited in length, never filtered.
void LOG_vFileText(const std::string& text);
// Level := min(level, 6); lines of lower severity than the level are dropped.
void LOG_SetVerbosity(int level);
// Current level (for tests and callers that skip expensive formatting).
int LOG_iGetVerbosity();
// Replace the current logger by one writing to `name` (empty: standard output).
void LOG_SetFilename(const std::string& name);
// Write every queued line now (used before a process ends without normal exit).
void LOG_vFlush();
// Write every queued line and drop all later ones: the last act of a process that ends
// with _exit while other threads may still log.
void LOG_vClose();
