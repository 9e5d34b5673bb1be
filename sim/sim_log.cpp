#include "sim/sim_log.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace ecusim {
namespace {
std::atomic<int> g_verbosity{0};
}

void setLogVerbosity(int level) { g_verbosity = level; }
int logVerbosity() { return g_verbosity; }

void logLine(int level, const char* fmt, ...) {
    if (level > g_verbosity) return;
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    std::fprintf(stderr, "%lld.%03lld ecusim: %s\n", static_cast<long long>(ms / 1000),
                 static_cast<long long>(ms % 1000), text);
}

}  // namespace ecusim
