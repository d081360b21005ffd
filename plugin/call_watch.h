#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

// What a thread of the core is waiting for in a plugin: a call into it, or,
// while the core stops, its return from Close or Unload or the end of its
// threads.
enum class WatchedCall : uint32_t {
    Write,
    UpdateConfig,
    IpcIoctl,
    Load,
    Open,
    Close,
    Unload,
    ReaderThread,
    WorkerThread,
    JobThreads,
};

// One report about a watched call: the plugin's ID, the call, two words that
// describe it (an event's class and type, a packet's address and type) and
// how long it has run.
struct WatchedCallReport {
    uint32_t plugin;
    WatchedCall call;
    uint32_t first;
    uint32_t second;
    int64_t elapsedMs;
};

// The call that one thread of the core is making into a plugin, watched from
// another thread.
//
// Threads: Begin and End belong to the owning thread alone; Check to the one
// watching thread. A call costs the owner a few stores and one exchange,
// without a lock and without reading a clock: the watcher dates each call
// when it first sees it, so calls are timed from that sighting. Every field
// is atomic; the watcher proves that what it read belongs to the call still
// running by one compare-and-swap on `state` (the owner changes `state`
// before it writes the fields of its next call), and the same swap marks
// the call as reported, so that the owner's End knows whether a closing line
// is due.
//
// Calls (Write, UpdateConfig, IpcIoctl, Load, Open) are reported once, when
// they have run for over CALL_LIMIT_MS since the watcher first saw them, and
// End then returns the closing report. Stop waits (the rest) are reported
// every WAIT_REPORT_MS and end silently. Watched every period P, a call is
// reported between CALL_LIMIT_MS and CALL_LIMIT_MS + P after it began, and
// the durations told are short by less than P: never a call that did not
// run so long.
//
// The crash handler reads the slot of the thread that faulted, on that
// thread (Peek): it sees the owner's last stores.
class CallSlot {
public:
    static constexpr int64_t CALL_LIMIT_MS = 1000;
    static constexpr int64_t WAIT_REPORT_MS = 2000;

    using Clock = int64_t (*)(); // nanoseconds of a monotonic clock
    // The clock is read only by End, for a call that was reported.
    explicit CallSlot(Clock clock = CoarseMonotonicNs);
    CallSlot(const CallSlot &) = delete;
    CallSlot &operator=(const CallSlot &) = delete;

    // Owner thread.
    void Begin(uint32_t plugin, WatchedCall call, uint32_t first = 0, uint32_t second = 0);
    // The report of how long the call took, when it had been reported as
    // running long; nothing otherwise.
    std::optional<WatchedCallReport> End();

    // Watching thread: calls report(WatchedCallReport) when the call in the
    // slot is due for a line at time nowNs.
    template <typename Report>
    void Check(int64_t nowNs, Report report);

    // A monotonic clock of a few milliseconds' resolution that costs next to
    // nothing to read.
    static int64_t CoarseMonotonicNs();

    // Owner thread, also inside a signal handler: the call in progress
    // (elapsedMs left 0), or false when there is none. Loads only.
    bool Peek(WatchedCallReport &running) const;

private:
    static constexpr uint64_t IDLE = 0;
    static constexpr uint64_t REPORTED = 1; // low bit of state; the call's serial above it
    static bool ReportsOnce(WatchedCall call) { return call <= WatchedCall::Open; }
    // Whether the call read as `seen` is still running, marking it reported.
    bool ClaimReport(uint64_t seen);
    // End of a call that the watcher claimed.
    std::optional<WatchedCallReport> EndReported();

    const Clock clock;
    std::atomic<uint64_t> state{IDLE};
    std::atomic<uint32_t> plugin{0};
    std::atomic<uint32_t> call{0};
    std::atomic<uint32_t> first{0};
    std::atomic<uint32_t> second{0};
    // When the watcher first saw the running call; written by the watcher
    // before it claims the call, read by End after a claim.
    std::atomic<int64_t> seenNs{0};

    // Owner thread only.
    uint64_t serial = 0;

    // Watching thread only: the call seen last and the lines it has had.
    uint64_t watchedSerial = 0;
    int64_t waitReports = 0;
};

// The fields are written while the slot reads as idle; publishing the new
// serial makes them the running call's.
inline void CallSlot::Begin(uint32_t pluginId, WatchedCall watched, uint32_t firstWord, uint32_t secondWord) {
    ++serial;
    plugin.store(pluginId, std::memory_order_relaxed);
    call.store(static_cast<uint32_t>(watched), std::memory_order_relaxed);
    first.store(firstWord, std::memory_order_relaxed);
    second.store(secondWord, std::memory_order_relaxed);
    state.store(serial << 1, std::memory_order_release);
}

inline std::optional<WatchedCallReport> CallSlot::End() {
    if ((state.exchange(IDLE, std::memory_order_acq_rel) & REPORTED) == 0) {
        return std::nullopt;
    }
    return EndReported();
}

template <typename Report>
void CallSlot::Check(int64_t nowNs, Report report) {
    const uint64_t seen = state.load(std::memory_order_acquire);
    if (seen == IDLE) {
        return;
    }
    if ((seen >> 1) != watchedSerial) {
        watchedSerial = seen >> 1;
        waitReports = 0;
        seenNs.store(nowNs, std::memory_order_relaxed);
    }
    const WatchedCallReport running{plugin.load(std::memory_order_relaxed),
                                    static_cast<WatchedCall>(call.load(std::memory_order_relaxed)),
                                    first.load(std::memory_order_relaxed), second.load(std::memory_order_relaxed),
                                    (nowNs - seenNs.load(std::memory_order_relaxed)) / 1000000};
    if (ReportsOnce(running.call)) {
        if ((seen & REPORTED) == 0 && running.elapsedMs > CALL_LIMIT_MS && ClaimReport(seen)) {
            report(running);
        }
        return;
    }
    if (running.elapsedMs >= (waitReports + 1) * WAIT_REPORT_MS && ClaimReport(seen)) {
        waitReports = running.elapsedMs / WAIT_REPORT_MS;
        report(running);
    }
}

// A stop's wait for a plugin, watched in the slot while this object lives.
class StopWait {
public:
    StopWait(CallSlot &slot, uint32_t plugin, WatchedCall what) : slot(slot) { slot.Begin(plugin, what); }
    ~StopWait() { slot.End(); }
    StopWait(const StopWait &) = delete;
    StopWait &operator=(const StopWait &) = delete;

private:
    CallSlot &slot;
};
