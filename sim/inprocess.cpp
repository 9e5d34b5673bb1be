#include "sim/inprocess.h"

#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace ecusim {
namespace {

struct Instance {
    explicit Instance(const EcuConfig& c) : model(c) {}
    EcuModel model;
    std::mutex mutex;
    std::deque<Answer> queue;
    unsigned requests = 0;
};

std::mutex g_mutex;
std::unique_ptr<Instance> g_instance;

Instance* current() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_instance.get();
}

bool ipInit() { return current() != nullptr; }
void ipDeinit() {}

bool ipSend(IF_tenSocketType addressing, uint8_t* data, uint32_t length) {
    Instance* in = current();
    if (in == nullptr || data == nullptr || length == 0) return false;
    std::vector<uint8_t> rq(data, data + length);
    std::vector<Answer> answers = in->model.handle(rq, addressing == IF_SOCKET_FUNC);
    std::lock_guard<std::mutex> lock(in->mutex);
    ++in->requests;
    for (Answer& a : answers) in->queue.push_back(std::move(a));
    return true;
}

int ipReceive(uint8_t, uint8_t* buffer, uint32_t capacity, int timeoutMs) {
    Instance* in = current();
    if (in == nullptr || buffer == nullptr) return -1;
    int wait = 0;
    {
        std::lock_guard<std::mutex> lock(in->mutex);
        if (in->queue.empty()) return 0;
        Answer& a = in->queue.front();
        if (a.delayMs > timeoutMs) {
            a.delayMs -= std::max(timeoutMs, 0);
            wait = timeoutMs;
        } else {
            wait = -1 - a.delayMs;  // deliver after the delay
        }
    }
    if (wait >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(wait));
        return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(-1 - wait));
    std::lock_guard<std::mutex> lock(in->mutex);
    if (in->queue.empty()) return 0;
    Answer a = std::move(in->queue.front());
    in->queue.pop_front();
    if (a.bytes.size() > capacity) return -1;
    std::memcpy(buffer, a.bytes.data(), a.bytes.size());
    return static_cast<int>(a.bytes.size());
}

void ipClear() {
    Instance* in = current();
    if (in == nullptr) return;
    std::lock_guard<std::mutex> lock(in->mutex);
    in->queue.clear();
}

bool ipStartTp(uint8_t*, uint32_t) { return current() != nullptr; }
bool ipStopTp() { return current() != nullptr; }
bool ipStartStream() { return current() != nullptr; }

const UDS_tstTransport kTable = {ipInit, ipDeinit, ipSend, ipReceive, ipClear, ipStartTp, ipStopTp, ipStartStream};

}  // namespace

const UDS_tstTransport* InProcess::start(const EcuConfig& config) {
    auto fresh = std::make_unique<Instance>(config);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_instance = std::move(fresh);
    return &kTable;
}

void InProcess::stop() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_instance.reset();
}

bool InProcess::running() { return current() != nullptr; }

EcuModel& InProcess::model() {
    Instance* in = current();
    if (in == nullptr) throw std::logic_error("ecusim::InProcess::model() without a running instance");
    return in->model;
}

unsigned InProcess::requestCount() {
    Instance* in = current();
    if (in == nullptr) return 0;
    std::lock_guard<std::mutex> lock(in->mutex);
    return in->requests;
}

}  // namespace ecusim
