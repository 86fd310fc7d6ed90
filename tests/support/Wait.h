#pragma once
// Waiting in tests for what other threads bring about.

#include <chrono>
#include <cstdint>
#include <thread>

namespace testsupport {

// Polls `predicate` until it holds or `timeoutMs` of real time have passed;
// true when it held. For conditions that other threads bring about.
template <typename Predicate>
bool WaitUntil(Predicate predicate, uint32_t timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!predicate()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace testsupport
