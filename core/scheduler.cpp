// The housekeeping tick on the asio thread.
#include <future>

#include <boost/asio/post.hpp>

#include "core/dvrcore.h"

namespace {
constexpr auto TICK_PERIOD = std::chrono::milliseconds(100);
}

void dvrcore::StartScheduler() {
    boost::asio::post(io, [this] {
        schedulerTimer.async_wait([this](const boost::system::error_code &error) { Scheduler(error); });
    });
}

// Runs the cancellation on the asio thread, which owns the timer, and waits
// for it: no tick runs after this returns.
void dvrcore::StopScheduler() {
    std::promise<void> cancelled;
    boost::asio::post(io, [this, &cancelled] {
        schedulerTimer.cancel();
        cancelled.set_value();
    });
    cancelled.get_future().wait();
}

void dvrcore::Scheduler(const boost::system::error_code &error) {
    if (error) {
        return;
    }
    schedulerTimer.expires_after(TICK_PERIOD);
    schedulerTimer.async_wait([this](const boost::system::error_code &next) { Scheduler(next); });
}

void dvrcore::ReportStatus() {}
