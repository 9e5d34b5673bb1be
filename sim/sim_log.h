// The simulator's own small logger: one line per event on standard error, filtered by a
// process-wide verbosity (0 errors only, 1 requests, 2 details).
#pragma once

namespace ecusim {

void setLogVerbosity(int level);
int logVerbosity();
// printf-style; the line is prefixed with a time stamp and "ecusim: ".
void logLine(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace ecusim
