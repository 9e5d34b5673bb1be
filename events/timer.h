// One-shot timer with its own thread: after start() it waits its interval and calls its
// callback once, unless stopped first. A periodic action restarts the timer after each expiry
// (from another thread: the callback must not start or stop its own timer).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

class Timer {
public:
    Timer() = default;
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Stores interval and callback; call while the timer is stopped.
    void setup(std::chrono::milliseconds interval, std::function<void()> callback);
    // Stops a previous run, then starts a new run with the full interval.
    void start();
    // Ends the current run and joins its thread; returns at once when not running.
    void stop();
    // Wakes the timer thread without ending the run or moving the expiry.
    void notify();

private:
    void stopLocked();
    void run();

    std::chrono::duration<int64_t, std::milli> interval{0};
    std::function<void()> callback;
    std::mutex controlLock;
    std::thread worker;
    std::mutex waitLock;
    std::atomic<bool> running{false};
    std::condition_variable wakeup;
};
