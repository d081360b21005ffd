#pragma once

// Waiting for a condition, for the tests and the benchmarks: checked again
// and again until it holds or the time is up, never for a fixed time alone.

#include <chrono>
#include <functional>
#include <thread>

namespace testsupport {

using Seconds = std::chrono::duration<double>;

// Whether `done` came to hold within `timeout`; checked every `interval`.
inline bool WaitUntil(const std::function<bool()> &done, Seconds timeout,
                      std::chrono::milliseconds interval = std::chrono::milliseconds(10)) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::nanoseconds>(timeout);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(interval);
    }
    return true;
}

} // namespace testsupport
