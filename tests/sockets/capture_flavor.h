// A socket-layer flavour whose lines are collected for inspection.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "sockets/flavor.h"

struct CapturedLines {
    static std::mutex& lock() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> l;
        return l;
    }
    static void error(const char* text) {
        std::lock_guard<std::mutex> g(lock());
        lines().push_back(std::string("Error:") + text);
    }
    static void debug(int, const char* text) {
        std::lock_guard<std::mutex> g(lock());
        lines().push_back(std::string("Debug:") + text);
    }
    static void clear() {
        std::lock_guard<std::mutex> g(lock());
        lines().clear();
    }
    static bool has(const std::string& needle) {
        std::lock_guard<std::mutex> g(lock());
        for (const auto& l : lines())
            if (l.find(needle) != std::string::npos) return true;
        return false;
    }
};

inline const sockets::Flavor& CaptureFlasherFlavor() {
    static const sockets::Flavor f{&CapturedLines::error, &CapturedLines::debug, false};
    return f;
}
inline const sockets::Flavor& CaptureToolFlavor() {
    static const sockets::Flavor f{&CapturedLines::error, &CapturedLines::debug, true};
    return f;
}
