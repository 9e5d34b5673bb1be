// Auto-reset event: notify() sets it and wakes waiters; wait() blocks until it is set and
// clears it. Several notifies before one wait are consumed by that wait.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

class Signal {
public:
    void notify();
    void wait();
    // As wait(), but gives up after the timeout; true when the signal was consumed.
    bool waitFor(std::chrono::milliseconds timeout);

private:
    std::mutex lock;
    std::condition_variable condition;
    std::atomic<bool> signaled{false};
};
