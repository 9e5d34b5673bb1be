#include "events/signal.h"

void Signal::notify() {
    std::lock_guard<std::mutex> guard(lock);
    signaled = true;
    condition.notify_all();
}

void Signal::wait() {
    std::unique_lock<std::mutex> guard(lock);
    while (!signaled) condition.wait(guard);
    signaled = false;
}

bool Signal::waitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock);
    if (!condition.wait_for(guard, timeout, [this] { return signaled.load(); })) return false;
    signaled = false;
    return true;
}
