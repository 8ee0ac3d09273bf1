// Waits for something another thread brings about: polls the condition until it holds
// or the time is up, doing `between` (by default a short sleep) between polls.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace zoranth {

inline bool eventually(
    const std::function<bool()>& condition,
    std::chrono::milliseconds timeout = std::chrono::seconds(5),
    const std::function<void()>& between = [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        between();
    }
    return true;
}

}  // namespace zoranth
