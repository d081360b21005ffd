// The housekeeping tick on the asio thread: reports jumps of the wall clock
// and decides from the resident size whether video is throttled.
#include <chrono>
#include <climits>
#include <ctime>
#include <future>

#include <boost/asio/post.hpp>

#include "core/dvrcore.h"
#include "core/resident_memory.h"
#include "log/log_message.h"

namespace {

constexpr auto TICK_PERIOD = std::chrono::milliseconds(100);
// Above this resident size (190 MiB) the core throttles video.
constexpr uint64_t MEMORY_LIMIT_BYTES = 199229440;

// Now plus one period, saturating at the clock's maximum.
std::chrono::steady_clock::time_point NextTickExpiry() {
    const auto start = std::chrono::steady_clock::now();
    if (std::chrono::steady_clock::time_point::max() - start < TICK_PERIOD) {
        return std::chrono::steady_clock::time_point::max();
    }
    return start + TICK_PERIOD;
}

// The difference in whole seconds, truncated toward zero; clamped so that a
// jump beyond the range of int still converts.
int WholeSecondsBetween(time_t earlier, time_t later) {
    const double seconds = std::difftime(later, earlier);
    if (seconds >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    if (seconds <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    return static_cast<int>(seconds);
}

} // namespace

void dvrcore::StartScheduler() {
    boost::asio::post(io, [this] {
        schedulerTimer.async_wait([this](const boost::system::error_code &error) { Scheduler(error); });
    });
}

// Runs the cancellation on the asio thread, which owns the timer, and waits
// for it: no tick runs after this returns. A tick whose expiry was already
// queued cannot be cancelled any more; the flag keeps it from re-arming.
void dvrcore::StopScheduler() {
    std::promise<void> cancelled;
    boost::asio::post(io, [this, &cancelled] {
        schedulerStopped = true;
        schedulerTimer.cancel();
        cancelled.set_value();
    });
    cancelled.get_future().wait();
}

void dvrcore::Scheduler(const boost::system::error_code &error) {
    if (error || schedulerStopped) {
        return; // cancelled by the stop sequence: never re-armed
    }
    CheckClockAndMemory(std::time(nullptr), ResidentMemoryBytes);
    ArmScheduler();
}

// Counted from the end of this tick, so a slow tick delays the next one.
void dvrcore::ArmScheduler() {
    schedulerTimer.expires_at(NextTickExpiry());
    schedulerTimer.async_wait([this](const boost::system::error_code &error) { Scheduler(error); });
}

void dvrcore::CheckClockAndMemory(time_t wallSeconds, uint64_t (*readResident)()) {
    const bool firstTick = lastTick == 0;
    if (!firstTick) {
        const int change = WholeSecondsBetween(lastTick, wallSeconds);
        if (change > 1 || change < -1) {
            CORE_LOG(LOG_LEVEL_WARNING, "system time changed by %d seconds", change);
        }
    }
    if (firstTick && throttlingEnabled) {
        ReportStatus(); // no reading yet: announces "not throttling"
    }
    // At most one reading per wall-clock second.
    if (throttlingEnabled && wallSeconds != lastTick) {
        UpdateThrottling(readResident() > MEMORY_LIMIT_BYTES);
    }
    lastTick = wallSeconds;
}
