// Captures the process-wide logger's lines in a temporary file for in-process tests.
#pragma once

#include <string>

#include "logging/log.h"
#include "support/child_process.h"

namespace testsupport {

class LogCapture {
public:
    LogCapture() { LOG_SetFilename(dir_.file("capture.log")); }
    ~LogCapture() {
        if (!finished_) LOG_SetFilename("");
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Switches the logger back to standard output (writing every queued line to the file)
    // and returns the captured lines' messages, headers removed.
    std::vector<std::string> finish() {
        LOG_SetFilename("");
        finished_ = true;
        std::vector<std::string> msgs;
        for (const auto& line : splitLines(readFile(dir_.file("capture.log")))) {
            const std::size_t tag = line.find(" [KSTRMF] ");
            msgs.push_back(tag == std::string::npos ? line : line.substr(tag + 10));
        }
        return msgs;
    }

private:
    TempDir dir_;
    bool finished_ = false;
};

}  // namespace testsupport
