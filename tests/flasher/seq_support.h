// Test support for the flash sequencer: a scripted transport (requests answered by a
// function), option set-up with a log file, and log reading.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <deque>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "flasher/cfg.h"
#include "logging/log.h"
#include "uds/uds_transport.h"

namespace seqtest {

using Bytes = std::vector<uint8_t>;

// Answers each request with zero or more messages; requests are recorded.
struct ScriptedTransport {
    std::function<std::vector<Bytes>(const Bytes&)> respond;
    std::deque<Bytes> answers;
    std::vector<Bytes> requests;
    bool streamOk = true;
    bool record = true;  // false: requests are not kept (benchmarks)

    static ScriptedTransport& instance() {
        static ScriptedTransport t;
        return t;
    }
    static const UDS_tstTransport* table() {
        static const UDS_tstTransport t = {
            [] { return true; },
            [] {},
            [](IF_tenSocketType, uint8_t* data, uint32_t length) {
                auto& s = instance();
                Bytes req(data, data + length);
                if (s.record) s.requests.push_back(req);
                if (s.respond) {
                    for (auto& a : s.respond(req)) s.answers.push_back(a);
                }
                return true;
            },
            [](uint8_t, uint8_t* buffer, uint32_t capacity, int) {
                auto& s = instance();
                if (s.answers.empty()) return 0;
                Bytes a = s.answers.front();
                s.answers.pop_front();
                if (a.size() > capacity) a.resize(capacity);
                std::copy(a.begin(), a.end(), buffer);
                return static_cast<int>(a.size());
            },
            [] { instance().answers.clear(); },
            [](uint8_t*, uint32_t) { return true; },
            [] { return true; },
            [] { return instance().streamOk; },
        };
        return &t;
    }
    void reset() {
        respond = nullptr;
        answers.clear();
        requests.clear();
        streamOk = true;
    }
};

// Parses the options (program name added) with the log going to logPath.
inline int initOptions(std::vector<std::string> args, const std::string& logPath) {
    args.insert(args.begin(), "kestrum_flasher");
    args.push_back("--logfile");
    args.push_back(logPath);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    const int res = CFG_enInit(static_cast<int>(argv.size()), argv.data(), "test");
    LOG_SetVerbosity(1);
    return res;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The log written so far.
inline std::string logText(const std::string& path) {
    LOG_vFlush();
    return readFile(path);
}

// Messages of the log (the text after the program tag), one per line.
inline std::vector<std::string> logMessages(const std::string& path) {
    std::vector<std::string> out;
    std::istringstream in(logText(path));
    std::string line;
    const std::string tag = " [KSTRMF] ";
    while (std::getline(in, line)) {
        const auto pos = line.find(tag);
        out.push_back(pos == std::string::npos ? line : line.substr(pos + tag.size()));
    }
    return out;
}

inline bool hasLine(const std::vector<std::string>& lines, const std::string& msg) {
    for (auto& l : lines) {
        if (l == msg) return true;
    }
    return false;
}

// Index of the first line equal to msg at or after from, or -1.
inline int indexOf(const std::vector<std::string>& lines, const std::string& msg, int from = 0) {
    for (int i = from; i < static_cast<int>(lines.size()); ++i) {
        if (lines[i] == msg) return i;
    }
    return -1;
}

// A fresh temporary directory, removed with its content at the end of the scope.
struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/kestrum_seq_XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() {
        const std::string cmd = "rm -rf '" + path + "'";
        if (std::system(cmd.c_str()) != 0) {
        }
    }
};

}  // namespace seqtest
