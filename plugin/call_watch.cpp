#include "call_watch.h"

#include <ctime>

CallSlot::CallSlot(Clock clock) : clock(clock) {}

int64_t CallSlot::CoarseMonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The fields are written while the slot reads as idle; publishing the new
// serial makes them the running call's.
void CallSlot::Begin(uint32_t pluginId, WatchedCall watched, uint32_t firstWord, uint32_t secondWord) {
    ++serial;
    plugin.store(pluginId, std::memory_order_relaxed);
    call.store(static_cast<uint32_t>(watched), std::memory_order_relaxed);
    first.store(firstWord, std::memory_order_relaxed);
    second.store(secondWord, std::memory_order_relaxed);
    startNs.store(clock(), std::memory_order_relaxed);
    state.store(serial << 1, std::memory_order_release);
}

std::optional<WatchedCallReport> CallSlot::End() {
    const uint64_t ended = state.exchange(IDLE, std::memory_order_acq_rel);
    const auto watched = static_cast<WatchedCall>(call.load(std::memory_order_relaxed));
    if ((ended & REPORTED) == 0 || !ReportsOnce(watched)) {
        return std::nullopt;
    }
    return WatchedCallReport{plugin.load(std::memory_order_relaxed), watched, first.load(std::memory_order_relaxed),
                             second.load(std::memory_order_relaxed),
                             (clock() - startNs.load(std::memory_order_relaxed)) / 1000000};
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
