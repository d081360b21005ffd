#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

// The housekeeping tick: every 100 ms on the asio thread it reports jumps of
// the wall clock, decides from the resident size whether video is
// throttled, and lets the supervisor link tell what it held back.
//
// Threads: the main thread starts and stops the tick and sets whether
// throttling is enabled before the tick runs; the asio thread runs the tick
// and owns the timer; any thread asks whether the core throttles (the event
// entry, for every event of the throttled kind).
//
// Locks: none. What the tick keeps is the asio thread's; the two flags read
// elsewhere are atomic.
class Housekeeper {
public:
    struct Hooks {
        std::function<int64_t()> now;            // monotonic nanoseconds (the core's virtual clock)
        std::function<void()> reportStatus;      // publishes the "Memory" status document
        std::function<void()> tellHeldBackLines; // the supervisor link's counts
    };

    Housekeeper(boost::asio::io_context &io, Hooks hooks);
    Housekeeper(const Housekeeper &) = delete;
    Housekeeper &operator=(const Housekeeper &) = delete;

    // Main thread: the first tick is due one period after construction.
    void Start();
    // Main thread, with the asio thread running: no tick runs once this returns.
    void Stop();
    // Asio thread: the timer's handler.
    void Tick(const boost::system::error_code &error);

    bool Throttling() const { return throttling; }
    bool ThrottlingEnabled() const { return throttlingEnabled; }
    void SetThrottlingEnabled(bool enabled) { throttlingEnabled = enabled; }

    // One tick's checks at the given wall-clock time (the monotonic one is
    // hooks.now); readResident gives the resident set size in bytes.
    void CheckClockAndMemory(const timespec &wall, uint64_t (*readResident)());
    // The throttling state after one reading.
    void UpdateThrottling(bool low);

private:
    void Arm();
    void ReportClockChange(const timespec &wall, int64_t monotonicNs);

    // Constant after construction.
    boost::asio::io_context &io;
    const Hooks hooks;

    // Asio thread only.
    boost::asio::steady_timer timer;
    int64_t lowMemorySince = INT64_MAX; // the last low reading while throttling
    time_t lastTick = 0;                // wall-clock seconds of the previous tick
    // The rest of the previous tick's wall-clock time, and the monotonic
    // clock at that tick. What the wall clock moved beyond the monotonic one
    // is a change of the time.
    long lastTickNanoseconds = 0;
    int64_t lastTickMonotonicNs = 0;
    bool stopped = false; // a tick already due must not re-arm

    // Atomic: written on the asio thread (throttling) or before it runs
    // (throttlingEnabled), read by any thread.
    std::atomic<bool> throttlingEnabled{true};
    std::atomic<bool> throttling{false};
};
