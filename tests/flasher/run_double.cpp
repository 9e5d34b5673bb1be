// Test double of the sequencer's run operations, linked with the real entry point and
// configuration into kestrum_flasher_double. Environment variables choose the behaviour:
//   KESTRUM_DOUBLE_INIT     ok (default) | fail | block | throw
//   KESTRUM_DOUBLE_MAIN     return:N (default return:0) | block | spam | throw | throw_other |
//                           segv | sigpipe | levels
//   KESTRUM_DOUBLE_DEINIT_MS  milliseconds FLASH_vDeinit takes (default 0)
//   KESTRUM_DOUBLE_TESTODX  ok | fail (default) | throw
// Each operation writes a marker line ("double: <operation>") straight to standard error,
// so tests can wait for a phase without going through the logger, and logs "DOUBLE: ...".
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "flasher/flash.h"
#include "logging/log.h"

namespace {

std::string setting(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v != nullptr ? std::string(v) : std::string(fallback);
}

void marker(const char* op) {
    const std::string line = std::string("double: ") + op + "\n";
    ssize_t rc = write(2, line.data(), line.size());
    (void)rc;
}

[[noreturn]] void blockForever() {
    for (;;) pause();
}

}  // namespace

bool FLASH_boInit() {
    marker("init");
    LOG_vInfo("DOUBLE: init");
    const std::string mode = setting("KESTRUM_DOUBLE_INIT", "ok");
    if (mode == "fail") return false;
    if (mode == "block") blockForever();
    if (mode == "throw") throw std::runtime_error("init exploded");
    return true;
}

int FLASH_iMain() {
    marker("main");
    LOG_vInfo("DOUBLE: main");
    const std::string mode = setting("KESTRUM_DOUBLE_MAIN", "return:0");
    if (mode.rfind("return:", 0) == 0) return std::atoi(mode.c_str() + 7);
    if (mode == "block") blockForever();
    if (mode == "spam") {
        for (unsigned long i = 0;; ++i) {
            LOG_vInfo("DOUBLE: spam %lu", i);
            if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    if (mode == "throw") throw std::runtime_error("main exploded");
    if (mode == "throw_other") throw 42;
    if (mode == "segv") {
        raise(SIGSEGV);
        return 0;
    }
    if (mode == "sigpipe") {
        raise(SIGPIPE);
        LOG_vInfo("DOUBLE: survived SIGPIPE");
        return 0;
    }
    if (mode == "levels") {
        LOG_vDebug_3("DOUBLE: level debug3");
        LOG_vDebug_2("DOUBLE: level debug2");
        LOG_vDebug_1("DOUBLE: level debug1");
        LOG_vInfo("DOUBLE: level info");
        LOG_vWarning("DOUBLE: level warning");
        LOG_vError("DOUBLE: level error");
        LOG_vFile("DOUBLE: level file");
        return 0;
    }
    return 99;
}

void FLASH_vDeinit() {
    marker("deinit");
    LOG_vInfo("DOUBLE: deinit");
    const int ms = std::atoi(setting("KESTRUM_DOUBLE_DEINIT_MS", "0").c_str());
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool FLASH_boTestOdxFile() {
    marker("testodx");
    LOG_vInfo("DOUBLE: testodx");
    const std::string mode = setting("KESTRUM_DOUBLE_TESTODX", "fail");
    if (mode == "throw") throw std::runtime_error("odx exploded");
    return mode == "ok";
}
