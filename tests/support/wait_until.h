// waitUntil: polls a condition until it holds or a deadline passes, for tests that wait for an
// observable effect rather than for a fixed time.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}
