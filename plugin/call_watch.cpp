#include "call_watch.h"

#include <ctime>

CallSlot::CallSlot(Clock clock) : clock(clock) {}

int64_t CallSlot::CoarseMonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The claim's swap made the watcher's sighting visible here. A stop wait
// ends silently.
std::optional<WatchedCallReport> CallSlot::EndReported() {
    const auto watched = static_cast<WatchedCall>(call.load(std::memory_order_relaxed));
    if (!ReportsOnce(watched)) {
        return std::nullopt;
    }
    return WatchedCallReport{plugin.load(std::memory_order_relaxed), watched, first.load(std::memory_order_relaxed),
                             second.load(std::memory_order_relaxed),
                             (clock() - seenNs.load(std::memory_order_relaxed)) / 1000000};
}

// Succeeds only while the owner has not ended the call: its End then reads
// what this swap wrote, so the fields read before it were that call's.
bool CallSlot::ClaimReport(uint64_t seen) {
    uint64_t expected = seen;
    return state.compare_exchange_strong(expected, seen | REPORTED, std::memory_order_acq_rel,
                                         std::memory_order_relaxed);
}

bool CallSlot::Peek(WatchedCallReport &running) const {
    if (state.load(std::memory_order_relaxed) == IDLE) {
        return false;
    }
    running = WatchedCallReport{plugin.load(std::memory_order_relaxed),
                                static_cast<WatchedCall>(call.load(std::memory_order_relaxed)),
                                first.load(std::memory_order_relaxed), second.load(std::memory_order_relaxed), 0};
    return true;
}
