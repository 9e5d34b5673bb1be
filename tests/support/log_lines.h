// Taking the flasher's log lines apart in tests.
#pragma once

#include <string>
#include <vector>

#include "support/child_process.h"

namespace testsupport {

// The message of a log line: what follows the program tag. A line without one (a continuation
// line of a multi-line file text, or other output) is kept whole.
inline std::string logMessage(const std::string& line) {
    static const std::string tag = " [KSTRMF] ";
    const std::size_t at = line.find(tag);
    return at == std::string::npos ? line : line.substr(at + tag.size());
}

// The messages of all lines of a text.
inline std::vector<std::string> logMessages(const std::string& text) {
    std::vector<std::string> out;
    for (const auto& line : splitLines(text)) out.push_back(logMessage(line));
    return out;
}

}  // namespace testsupport
