// Polls a condition until it holds or a (generous) bound has passed; for results that other
// threads or processes produce.
#pragma once

#include <chrono>
#include <thread>

template <typename F>
bool Eventually(F condition, std::chrono::milliseconds bound = std::chrono::seconds(10),
                std::chrono::milliseconds poll = std::chrono::milliseconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(poll);
    }
    return condition();
}
