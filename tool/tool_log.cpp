#include "tool/tool_log.h"

#include <cstdio>
#include <string>

std::atomic<bool> verboseLog{false};

namespace toollog {

void vWrite(const char* prefix, bool toStdout, const char* fmt, va_list args) {
    char text[200];
    vsnprintf(text, sizeof text, fmt, args);
    std::string line(prefix);
    line += text;
    line += '\n';
    FILE* stream = toStdout ? stdout : stderr;
    fwrite(line.data(), 1, line.size(), stream);
    fflush(stream);
}

}  // namespace toollog
