// Entry point of kestrum_flasher: configuration, run, orderly shutdown and exit code.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <thread>

#include "flasher/cfg.h"
#include "flasher/flash.h"
#include "flasher/result.h"
#include "logging/log.h"

namespace {

std::atomic<bool> boInitDone{false};

// SIGTERM is handled on a thread of its own: the handler only writes the signal number
// into this pipe, the thread performs the shutdown outside signal context.
int signalPipe[2] = {-1, -1};

void shutdownAndExit(int status) {
    FLASH_vDeinit();
    LOG_vInfo("----- Finished -----");
    LOG_vClose();
    std::fflush(stdout);
    _exit(status);
}

}  // namespace

// Performs the shutdown once, whichever path finds boInitDone set first.
void finalize(int status) {
    if (!boInitDone.exchange(false)) return;
    shutdownAndExit(status);
}

namespace {

void onTerminate(int sig) {
    const unsigned char b = static_cast<unsigned char>(sig);
    const int saved = errno;
    ssize_t rc = write(signalPipe[1], &b, 1);
    (void)rc;
    errno = saved;
}

void onSegv(int sig) {
    // Nothing of the shutdown is safe after a memory fault; end with the signal number.
    if (boInitDone.exchange(false)) _exit(sig);
    signal(sig, SIG_DFL);
    raise(sig);
}

void signalThread() {
    for (;;) {
        unsigned char b = 0;
        const ssize_t n = read(signalPipe[0], &b, 1);
        if (n == 1) {
            finalize(b);
            continue;  // shutdown already under way: a second signal does nothing
        }
        if (n < 0 && errno == EINTR) continue;
        return;
    }
}

}  // namespace

bool setupSignalHandler(int sig, void (*handler)(int)) {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    return sigaction(sig, &sa, nullptr) == 0;
}

void setupSignalHandlers() {
    if (signalPipe[0] < 0 && pipe(signalPipe) == 0) {
        std::thread(signalThread).detach();
    }
    setupSignalHandler(SIGTERM, onTerminate);
    setupSignalHandler(SIGSEGV, onSegv);
    signal(SIGPIPE, SIG_IGN);
}

int main(int argc, char** argv) {
    char banner[1024];
    std::snprintf(banner, sizeof banner, "Kestrum Flasher %s (%s) - %s %s", "3.0.3", "10003", __DATE__, __TIME__);

    const int cfg = CFG_enInit(argc, argv, banner);
    if (cfg == 1) return FLASH_RES_OK;
    if (cfg != 0) {
        std::printf("Error parsing command line parameters\n");
        return FLASH_RES_CONFIG_INIT_FAILED;
    }

    LOG_vInfo("%s", banner);

    if (!CFG_boOnlyReadIdents()) {
        const std::string root = CFG_strGetDatflashPath();
        struct stat st;
        if (stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            LOG_vError("CFG: invalid datflash Path:\"%s\"", root.c_str());
            return FLASH_RES_CONFIG_INIT_FAILED;
        }
    }

    LOG_SetVerbosity(4 - CFG_iGetDebugLevel());

    if (!CFG_strGetTestOdxFilename().empty()) {
        bool ok = false;
        try {
            ok = FLASH_boTestOdxFile();
        } catch (const std::exception& e) {
            LOG_vError("FLASH: Exception: %s", e.what());
        }
        return ok ? FLASH_RES_OK : FLASH_RES_FLASHFILE_PROBLEM;
    }

    bool initOk = false;
    try {
        initOk = FLASH_boInit();
    } catch (const std::exception& e) {
        LOG_vError("FLASH: Exception: %s", e.what());
    }
    if (!initOk) return FLASH_RES_FLASH_INIT_FAILED;

    setupSignalHandlers();
    boInitDone = true;

    int result = FLASH_RES_FLASH_ERROR;
    try {
        result = FLASH_iMain();
    } catch (const std::exception& e) {
        LOG_vError("FLASH: Exception: %s", e.what());
        result = FLASH_RES_FLASH_ERROR;
    } catch (...) {
        LOG_vError("FLASH: Unknown exception");
        result = FLASH_RES_FLASH_ERROR;
    }

    if (boInitDone.exchange(false)) {
        FLASH_vDeinit();
        LOG_vInfo("----- Finished -----");
        std::exit(result);
    }
    // A termination signal's shutdown is under way on the signal thread; it ends the process.
    for (;;) pause();
}
