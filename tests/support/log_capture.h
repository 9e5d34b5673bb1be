// Captures the flasher logger's output in a temporary file for the lifetime of the object.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "logging/log.h"

class LogCapture {
public:
    explicit LogCapture(int level = 1) {
        char name[] = "/tmp/kestrum_logXXXXXX";
        int fd = mkstemp(name);
        if (fd != -1) ::close(fd);
        path_ = name;
        previous_ = LOG_iGetVerbosity();
        LOG_SetFilename(path_);
        LOG_SetVerbosity(level);
    }
    ~LogCapture() {
        LOG_SetFilename("/dev/null");
        LOG_SetVerbosity(previous_);
        std::remove(path_.c_str());
    }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Everything logged so far.
    std::string text() const {
        LOG_vFlush();
        std::ifstream in(path_);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }
    // The capture file (for a program's --logfile option).
    const std::string& path() const { return path_; }

private:
    std::string path_;
    int previous_;
};
