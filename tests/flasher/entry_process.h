// Starting kestrum_flasher and kestrum_flasher_double as child processes for the entry tests.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/log_lines.h"

namespace entrytest {

const std::string kFlasher = KESTRUM_FLASHER_BIN;
const std::string kDouble = KESTRUM_FLASHER_DOUBLE_BIN;
const std::string kFinished = "----- Finished -----";

struct Outcome {
    bool ended = false;
    int exitCode = -1;    // -1 when the process did not exit normally
    int termSignal = 0;   // the signal that killed it, else 0
    std::string out;
    std::string err;
};

inline Outcome finish(testsupport::ChildProcess& child) {
    Outcome o;
    o.ended = child.wait();
    o.exitCode = child.exitCode();
    o.termSignal = child.termSignal();
    o.out = child.out();
    o.err = child.err();
    return o;
}

// Runs a program to its end with standard output and error in files of `dir`.
inline Outcome run(const testsupport::TempDir& dir, const std::string& program, const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& env = {}) {
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    testsupport::ChildProcess child(argv, dir.file("stdout"), dir.file("stderr"), env);
    return finish(child);
}

using testsupport::logMessage;
using testsupport::logMessages;

inline int count(const std::vector<std::string>& msgs, const std::string& msg) {
    int n = 0;
    for (const auto& m : msgs) n += m == msg ? 1 : 0;
    return n;
}

inline bool contains(const std::vector<std::string>& msgs, const std::string& msg) { return count(msgs, msg) > 0; }

}  // namespace entrytest
