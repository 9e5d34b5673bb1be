#include "sockets/flavor.h"

#include <cstdarg>

#include "logging/log.h"

namespace sockets {

namespace {

void FlasherError(const char* text) { LOG_vError("%s", text); }

void FlasherDebug(int level, const char* text) {
    switch (level) {
        case 1: LOG_vDebug_1("%s", text); break;
        case 3: LOG_vDebug_3("%s", text); break;
        default: LOG_vDebug_2("%s", text); break;
    }
}

}  // namespace

const Flavor& FlasherFlavor() {
    static const Flavor flavor{&FlasherError, &FlasherDebug, false};
    return flavor;
}

namespace {

std::string Format(const char* fmt, va_list args) {
    char text[200];
    vsnprintf(text, sizeof text, fmt, args);
    return text;
}

}  // namespace

void LogError(const Flavor& flavor, const char* fmt, ...) {
    if (flavor.error == nullptr) return;
    va_list args;
    va_start(args, fmt);
    const std::string text = Format(fmt, args);
    va_end(args);
    flavor.error(text.c_str());
}

void LogDebug(const Flavor& flavor, int level, const char* fmt, ...) {
    if (flavor.debug == nullptr) return;
    va_list args;
    va_start(args, fmt);
    const std::string text = Format(fmt, args);
    va_end(args);
    flavor.debug(level, text.c_str());
}

void LOG_vDebug(const char* fmt, const std::string& a) {
    char text[200];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(text, sizeof text, fmt, a.c_str());
#pragma GCC diagnostic pop
    LOG_vDebug_2("%s", text);
}

void LOG_vDebug(const char* fmt, const std::string& a, const std::string& b) {
    char text[200];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(text, sizeof text, fmt, a.c_str(), b.c_str());
#pragma GCC diagnostic pop
    LOG_vDebug_2("%s", text);
}

}  // namespace sockets
