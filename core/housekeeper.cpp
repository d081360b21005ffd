#include "housekeeper.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>
#include <future>

#include <boost/asio/post.hpp>

#include "resident_memory.h"
#include "log_message.h"

namespace {

// Memory throttling: the state follows every reading at once, while its
// announcement to plugins waits a minute after the last low reading.
constexpr int64_t RELEASE_DELAY_NS = 60'000'000'000;
constexpr int64_t NOT_THROTTLING = INT64_MAX;

constexpr auto TICK_PERIOD = std::chrono::milliseconds(100);
// Above this resident size (190 MiB) the core throttles video.
constexpr uint64_t MEMORY_LIMIT_BYTES = 199229440;

constexpr int64_t NS_PER_SECOND = 1000000000;
// Beyond this many seconds (some 126 years) a clock difference is not
// computed in nanoseconds, which could overflow, but taken as the largest.
constexpr int64_t MAX_EXACT_SECONDS = 4000000000;

// Now plus one period, saturating at the clock's maximum.
std::chrono::steady_clock::time_point NextTickExpiry() {
    const auto start = std::chrono::steady_clock::now();
    if (std::chrono::steady_clock::time_point::max() - start < TICK_PERIOD) {
        return std::chrono::steady_clock::time_point::max();
    }
    return start + TICK_PERIOD;
}

timespec WallClock() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

// later - earlier of a clock in nanoseconds, without overflow for any pair
// less than 292 years apart.
int64_t Elapsed(int64_t earlier, int64_t later) {
    return static_cast<int64_t>(static_cast<uint64_t>(later) - static_cast<uint64_t>(earlier));
}

// What the wall clock moved (whole seconds and the nanoseconds beyond them)
// minus the time that passed, in whole seconds truncated toward zero and
// clamped to the range of int.
int ClockChangeSeconds(double wallSeconds, long wallNanoseconds, int64_t passedNs) {
    const auto limit = static_cast<double>(MAX_EXACT_SECONDS);
    if (wallSeconds >= limit || static_cast<double>(passedNs) <= -limit * NS_PER_SECOND) {
        return INT_MAX;
    }
    if (wallSeconds <= -limit || static_cast<double>(passedNs) >= limit * NS_PER_SECOND) {
        return INT_MIN;
    }
    const int64_t changeNs = static_cast<int64_t>(wallSeconds) * NS_PER_SECOND + wallNanoseconds - passedNs;
    return static_cast<int>(std::clamp<int64_t>(changeNs / NS_PER_SECOND, INT_MIN, INT_MAX));
}

} // namespace

Housekeeper::Housekeeper(boost::asio::io_context &io, Hooks hooks)
    : io(io), hooks(std::move(hooks)), timer(io, NextTickExpiry()) {}

void Housekeeper::Start() {
    boost::asio::post(io,
                      [this] { timer.async_wait([this](const boost::system::error_code &error) { Tick(error); }); });
}

// Runs the cancellation on the asio thread, which owns the timer, and waits
// for it: no tick runs after this returns. A tick whose expiry was already
// queued cannot be cancelled any more; the flag keeps it from re-arming.
void Housekeeper::Stop() {
    std::promise<void> cancelled;
    boost::asio::post(io, [this, &cancelled] {
        stopped = true;
        timer.cancel();
        cancelled.set_value();
    });
    cancelled.get_future().wait();
}

void Housekeeper::Tick(const boost::system::error_code &error) {
    if (error || stopped) {
        return; // cancelled by the stop sequence: never re-armed
    }
    CheckClockAndMemory(WallClock(), ResidentMemoryBytes);
    hooks.tellHeldBackLines();
    Arm();
}

// Counted from the end of this tick, so a slow tick delays the next one.
void Housekeeper::Arm() {
    timer.expires_at(NextTickExpiry());
    timer.async_wait([this](const boost::system::error_code &error) { Tick(error); });
}

void Housekeeper::CheckClockAndMemory(const timespec &wall, uint64_t (*readResident)()) {
    const int64_t monotonicNs = hooks.now();
    const bool firstTick = lastTick == 0;
    if (!firstTick) {
        ReportClockChange(wall, monotonicNs);
    }
    if (firstTick && throttlingEnabled) {
        hooks.reportStatus(); // no reading yet: announces "not throttling"
    }
    // At most one reading per wall-clock second.
    if (throttlingEnabled && wall.tv_sec != lastTick) {
        UpdateThrottling(readResident() > MEMORY_LIMIT_BYTES);
    }
    lastTick = wall.tv_sec;
    lastTickNanoseconds = wall.tv_nsec;
    lastTickMonotonicNs = monotonicNs;
}

// Time that passed moves both clocks alike, however late the tick came (a
// slow handler on the asio thread delays it); only what the wall clock moved
// beyond the monotonic one is a change of the time.
void Housekeeper::ReportClockChange(const timespec &wall, int64_t monotonicNs) {
    const int change = ClockChangeSeconds(std::difftime(wall.tv_sec, lastTick), wall.tv_nsec - lastTickNanoseconds,
                                          Elapsed(lastTickMonotonicNs, monotonicNs));
    if (change > 1 || change < -1) {
        CORE_LOG(LOG_LEVEL_WARNING, "system time changed by %d seconds", change);
    }
}

void Housekeeper::UpdateThrottling(bool low) {
    const int64_t time = hooks.now();
    throttling = low;
    if (low) {
        if (lowMemorySince == NOT_THROTTLING) {
            CORE_LOG(LOG_LEVEL_WARNING, "available system memory is low, throttling video");
            hooks.reportStatus();
        }
        lowMemorySince = time;
        return;
    }
    int64_t releaseBefore = 0;
    if (__builtin_sub_overflow(time, RELEASE_DELAY_NS, &releaseBefore) || releaseBefore < lowMemorySince) {
        return; // not throttling, or the last low reading is less than a minute old
    }
    CORE_LOG(LOG_LEVEL_WARNING, "available system memory ok, not throttling video");
    hooks.reportStatus();
    lowMemorySince = NOT_THROTTLING;
}
