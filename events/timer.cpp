#include "events/timer.h"

#include <exception>

Timer::~Timer() {
    stop();
    if (worker.joinable()) std::terminate();
}

void Timer::setup(std::chrono::milliseconds newInterval, std::function<void()> newCallback) {
    interval = newInterval;
    callback = std::move(newCallback);
}

void Timer::start() {
    // Stop and restart under one hold of controlLock, so two concurrent starts cannot both
    // find the timer stopped and leave a joinable thread behind.
    std::lock_guard<std::mutex> control(controlLock);
    stopLocked();
    running = true;
    worker = std::thread(&Timer::run, this);
}

void Timer::stop() {
    std::lock_guard<std::mutex> control(controlLock);
    stopLocked();
}

void Timer::stopLocked() {
    if (!running) return;
    running = false;
    {
        std::lock_guard<std::mutex> wait(waitLock);
        wakeup.notify_one();
    }
    worker.join();
}

void Timer::notify() {
    std::lock_guard<std::mutex> wait(waitLock);
    wakeup.notify_one();
}

void Timer::run() {
    std::unique_lock<std::mutex> wait(waitLock);
    // Measured on the monotonic clock: a clock step on the station must not stretch or cut
    // the interval.
    const auto deadline = std::chrono::steady_clock::now() + interval;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!running) return;
        wakeup.wait_until(wait, deadline);
    }
    if (running) callback();
}
