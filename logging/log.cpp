#include "logging/log.h"

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iostream>

namespace logging {

namespace {

const char* tag_for(int severity) {
    switch (severity) {
        case 2: return ": [DBG2   ]";
        case 3: return ": [DBG1   ]";
        case 4: return ": [INF    ]";
        case 5: return ": [WRN    ]";
        case 6: return ": [ERR    ]";
        case 7: return ": [       ]";
        default: return ": [DBG3   ]";
    }
}

class stream_policy : public log_policy_interface {
public:
    void open_out_stream(const std::string& name) override {
        if (name.empty()) {
            out_ = &std::cout;
        } else {
            out_ = new std::ofstream(name, std::ios_base::out | std::ios_base::binary | std::ios_base::trunc);
        }
    }
    void close_out_stream() override {
        if (out_ != nullptr && out_ != &std::cout) delete out_;
        out_ = nullptr;
    }
    void write(const std::string& line) override {
        if (out_ == nullptr) return;
        *out_ << line << '\n';
        out_->flush();
    }
    ~stream_policy() override { close_out_stream(); }

private:
    std::ostream* out_ = nullptr;
};

template <typename Policy>
class logger;

template <typename Policy>
void logging_daemon(logger<Policy>* log);

template <typename Policy>
class logger {
public:
    logger(const std::string& name, int level) : level_(level) {
        policy_.open_out_stream(name);
        running_.test_and_set();
        daemon_ = std::thread(logging_daemon<Policy>, this);
    }
    ~logger() {
        running_.clear();
        if (daemon_.joinable()) daemon_.join();
        policy_.close_out_stream();
    }
    logger(const logger&) = delete;
    logger& operator=(const logger&) = delete;

    void queue(std::string line) {
        std::lock_guard<std::mutex> lock(queue_lock_);
        queue_.push_back(std::move(line));
    }
    // Writes the whole queue as one batch under the queue lock.
    void drain() {
        std::lock_guard<std::mutex> lock(queue_lock_);
        for (const auto& line : queue_) policy_.write(line);
        queue_.clear();
    }
    bool keep_running() { return running_.test_and_set(); }

    std::atomic<int> level_;
    bool closed_ = false;  // set by LOG_vClose: later lines are dropped

private:
    Policy policy_;
    std::mutex queue_lock_;
    std::vector<std::string> queue_;
    std::atomic_flag running_ = ATOMIC_FLAG_INIT;
    std::thread daemon_;
};

template <typename Policy>
void logging_daemon(logger<Policy>* log) {
    for (;;) {
        const bool run = log->keep_running();
        struct timespec req = {0, 10 * 1000 * 1000};
        struct timespec rem;
        while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
        log->drain();
        if (!run) break;
    }
}

using flasher_logger = logger<stream_policy>;

// The current logger and the lock that guards replacing it. Logging calls hold the
// lock only to reach the current logger; the writer thread never takes it.
std::mutex& inst_lock() {
    static std::mutex m;
    return m;
}

std::unique_ptr<flasher_logger>& log_inst() {
    static std::unique_ptr<flasher_logger> inst(new flasher_logger("", 3));
    return inst;
}

// Created during static initialisation so the writer runs before main.
struct initialiser {
    initialiser() {
        inst_lock();
        log_inst();
    }
} init_before_main;

// The current logger if a line of this severity is to be written, else null.
// Called with inst_lock held.
flasher_logger* accepting_logger(int severity) {
    flasher_logger* inst = log_inst().get();
    if (inst == nullptr || inst->closed_ || inst->level_ > severity) return nullptr;
    return inst;
}

void queue_line(int severity, const char* message) {
    std::lock_guard<std::mutex> guard(inst_lock());
    if (flasher_logger* inst = accepting_logger(severity)) inst->queue(make_header(severity) + message);
}

// Formats into 200 bytes (longer messages are cut to 199 characters); filtered lines are
// not formatted at all.
void vlog(int severity, const char* fmt, va_list ap) {
    std::lock_guard<std::mutex> guard(inst_lock());
    flasher_logger* inst = accepting_logger(severity);
    if (inst == nullptr) return;
    char buf[200];
    vsnprintf(buf, sizeof buf, fmt, ap);
    inst->queue(make_header(severity) + buf);
}

}  // namespace

std::string make_header(int severity) {
    std::time_t now = std::time(nullptr);
    std::tm tmv;
    localtime_r(&now, &tmv);
    char timebuf[64];
    std::strftime(timebuf, sizeof timebuf, "%Y-%m-%d %X", &tmv);
    std::string header(timebuf);
    header += ' ';
    header += tag_for(severity);
    header += " [KSTRMF] ";
    return header;
}

}  // namespace logging

#define KESTRUM_LOG_FN(name, sev)              \
    void name(const char* fmt, ...) {          \
        va_list ap;                            \
        va_start(ap, fmt);                     \
        logging::vlog(sev, fmt, ap);           \
        va_end(ap);                            \
    }

KESTRUM_LOG_FN(LOG_vError, logging::error)
KESTRUM_LOG_FN(LOG_vWarning, logging::warning)
KESTRUM_LOG_FN(LOG_vInfo, logging::info)
KESTRUM_LOG_FN(LOG_vDebug_1, logging::debug1)
KESTRUM_LOG_FN(LOG_vDebug_2, logging::debug2)
KESTRUM_LOG_FN(LOG_vDebug_3, logging::debug3)
KESTRUM_LOG_FN(LOG_vFile, logging::file)

void LOG_vFileText(const std::string& text) { logging::queue_line(logging::file, text.c_str()); }

void LOG_SetVerbosity(int level) {
    std::lock_guard<std::mutex> guard(logging::inst_lock());
    if (logging::log_inst()) logging::log_inst()->level_ = level < 6 ? level : 6;
}

int LOG_iGetVerbosity() {
    std::lock_guard<std::mutex> guard(logging::inst_lock());
    return logging::log_inst() ? logging::log_inst()->level_.load() : 3;
}

void LOG_SetFilename(const std::string& name) {
    std::unique_ptr<logging::flasher_logger> old;
    {
        std::lock_guard<std::mutex> guard(logging::inst_lock());
        auto& inst = logging::log_inst();
        const int level = inst ? inst->level_.load() : 3;
        old = std::move(inst);
        // Drain the old logger first so its lines stay ahead of the new logger's.
        if (old) old->drain();
        inst.reset(new logging::flasher_logger(name, level));
    }
    old.reset();
}

void LOG_vFlush() {
    std::lock_guard<std::mutex> guard(logging::inst_lock());
    if (logging::log_inst()) logging::log_inst()->drain();
}

void LOG_vClose() {
    std::lock_guard<std::mutex> guard(logging::inst_lock());
    if (logging::log_inst()) {
        logging::log_inst()->drain();
        logging::log_inst()->closed_ = true;
    }
}
