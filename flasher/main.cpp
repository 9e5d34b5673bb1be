// Entry point of kestrum_flasher: configuration, run, orderly shutdown and exit code.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <thread>

#include "flasher/cfg.h"
#include "flasher/flash.h"
#include "flasher/result.h"
#include "logging/log.h"

namespace {

// Set once the sequencer is initialised and the termination handlers are installed.
// Whichever shutdown path clears it first performs the one shutdown.
std::atomic<bool> boInitDone{false};

// SIGTERM is handled on a thread of its own: the handler only writes the signal number
// into this pipe, the thread performs the shutdown outside signal context.
int signalPipe[2] = {-1, -1};

// An exception escaping one of the run operations ends up here: logged, never rethrown.
template <typename Fn, typename R>
R runGuarded(Fn fn, R onException) {
    try {
        return fn();
    } catch (const std::exception& e) {
        LOG_vError("FLASH: Exception: %s", e.what());
    } catch (...) {
        LOG_vError("FLASH: Unknown exception");
    }
    return onException;
}

// The one shutdown of an initialised run: deinitialise and log the closing line.
void shutdown() {
    runGuarded([] { FLASH_vDeinit(); return true; }, false);
    LOG_vInfo("----- Finished -----");
}

// Shuts down and ends the process at once, while other threads may still run. Lines they
// log after the closing line are dropped, so it stays the last line.
[[noreturn]] void shutdownAndExit(int status) {
    shutdown();
    LOG_vClose();
    std::fflush(stdout);
    _exit(status);
}

}  // namespace

// Performs the shutdown once, whichever path finds boInitDone set first; returns at once
// when the shutdown is already under way or the run was never initialised.
void finalize(int status) {
    if (!boInitDone.exchange(false)) return;
    shutdownAndExit(status);
}

namespace {

void onTerminate(int sig) {
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(sig);
    bool handedOver = false;
    if (signalPipe[1] >= 0) {
        // A full pipe means earlier signals are still waiting for the shutdown thread.
        handedOver = write(signalPipe[1], &b, 1) == 1 || errno == EAGAIN;
    }
    // Without a shutdown thread, end at once unless the shutdown has begun already.
    if (!handedOver && boInitDone.exchange(false)) _exit(sig);
    errno = saved;
}

void onSegv(int sig) {
    // Nothing of the shutdown is safe after a memory fault; end with the signal number.
    if (boInitDone.exchange(false)) _exit(sig);
    // Shutdown already under way (or not yet initialised): die of the fault as usual
    // instead of returning into the faulting instruction.
    signal(sig, SIG_DFL);
    raise(sig);
}

void signalThread(int fd) {
    for (;;) {
        unsigned char b = 0;
        const ssize_t n = read(fd, &b, 1);
        if (n == 1) {
            finalize(b);  // returns only when a shutdown is already under way
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        return;
    }
}

void startSignalThread() {
    if (signalPipe[0] >= 0) return;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        LOG_vWarning("FLASH: no signal pipe: %s", std::strerror(errno));
        return;
    }
    fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    signalPipe[0] = fds[0];
    signalPipe[1] = fds[1];
    try {
        std::thread(signalThread, fds[0]).detach();
    } catch (const std::system_error& e) {
        LOG_vWarning("FLASH: no signal thread: %s", e.what());
        signalPipe[0] = signalPipe[1] = -1;
        close(fds[0]);
        close(fds[1]);
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
    startSignalThread();
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
        const bool ok = runGuarded([] { return FLASH_boTestOdxFile(); }, false);
        return ok ? FLASH_RES_OK : FLASH_RES_FLASHFILE_PROBLEM;
    }

    if (!runGuarded([] { return FLASH_boInit(); }, false)) return FLASH_RES_FLASH_INIT_FAILED;

    setupSignalHandlers();
    boInitDone = true;

    const int result = runGuarded([] { return FLASH_iMain(); }, static_cast<int>(FLASH_RES_FLASH_ERROR));

    if (boInitDone.exchange(false)) {
        shutdown();
        std::exit(result);  // normal exit: the logger writes every queued line
    }
    // A termination signal's shutdown is under way on the signal thread; it ends the process.
    for (;;) pause();
}
