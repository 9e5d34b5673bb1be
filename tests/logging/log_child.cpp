// kestrum_log_child: one logger scenario per process, chosen by the first argument.
// The process-wide logger starts before main as in the flasher, and every scenario ends by
// returning from main, so that the logger's normal shutdown writes what is still queued.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "logging/log.h"

namespace {

void logAllSeverities() {
    LOG_vDebug_3("line debug3");
    LOG_vDebug_2("line debug2");
    LOG_vDebug_1("line debug1");
    LOG_vInfo("line info");
    LOG_vWarning("line warning");
    LOG_vError("line error");
    LOG_vFile("line file %d", 7);
    LOG_vFileText("line filetext");
}

int usage() {
    std::fprintf(stderr, "usage: kestrum_log_child SCENARIO [ARGS]\n");
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string scenario = argv[1];
    const auto arg = [&](int i) { return i < argc ? std::string(argv[i]) : std::string(); };

    if (scenario == "levels") {
        // levels [LEVEL]: without LEVEL the start-up verbosity stays in force.
        if (argc > 2) LOG_SetVerbosity(std::atoi(argv[2]));
        logAllSeverities();
    } else if (scenario == "cut") {
        LOG_vInfo("%s", std::string(300, 'a').c_str());
        LOG_vError("%s-%d", std::string(198, 'b').c_str(), 12345);
        LOG_vFile("%s", std::string(199, 'c').c_str());
        LOG_vFileText(std::string(300, 'd'));
    } else if (scenario == "multiline") {
        LOG_vFileText("first\n   second\nthird");
        LOG_vInfo("after");
    } else if (scenario == "switch") {
        // switch FILE: 50 lines on standard output, then 50 in FILE.
        for (int i = 0; i < 50; ++i) LOG_vInfo("before %d", i);
        LOG_SetFilename(arg(2));
        for (int i = 0; i < 50; ++i) LOG_vInfo("after %d", i);
    } else if (scenario == "switch_chain") {
        // switch_chain FILE1 FILE2: standard output, FILE1, FILE2, standard output again.
        LOG_SetVerbosity(2);
        LOG_vInfo("to stdout 1");
        LOG_SetFilename(arg(2));
        LOG_vDebug_2("to file1");
        LOG_SetFilename(arg(3));
        LOG_vDebug_2("to file2 (verbosity kept)");
        LOG_SetFilename("");
        LOG_vInfo("to stdout 2");
    } else if (scenario == "exit") {
        // exit [FILE]: many lines queued right before the process ends normally.
        if (argc > 2) LOG_SetFilename(arg(2));
        for (int i = 0; i < 3000; ++i) LOG_vInfo("queued %d", i);
    } else if (scenario == "live") {
        // live FILE: one line, then wait to be killed; the writer thread must write it.
        LOG_SetFilename(arg(2));
        LOG_vInfo("live line");
        for (;;) pause();
    } else if (scenario == "unwritable") {
        LOG_SetFilename(arg(2));
        logAllSeverities();
        return 0;
    } else if (scenario == "threads") {
        // 8 threads log 400 numbered lines each while the main thread switches to FILE.
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([t] {
                for (int i = 0; i < 400; ++i) LOG_vInfo("thread %d line %d", t, i);
            });
        }
        LOG_SetFilename(arg(2));
        for (auto& th : threads) th.join();
    } else if (scenario == "close") {
        // close: LOG_vClose writes the queue and drops every later line.
        LOG_vInfo("kept");
        LOG_vClose();
        LOG_vError("dropped");
        LOG_vFileText("dropped too");
    } else {
        return usage();
    }
    return 0;
}
