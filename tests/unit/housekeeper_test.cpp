// The housekeeping tick on a real asio thread: it comes again and again,
// announces the status first when throttling is enabled, and never again
// once stopped.
#include "core/housekeeper.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <gtest/gtest.h>

#include "tests/support/wait_until.h"

namespace {

using testsupport::WaitUntil;
constexpr auto PATIENCE = std::chrono::seconds(30);

class HousekeeperTest : public ::testing::Test {
protected:
    ~HousekeeperTest() override {
        work.reset();
        io.stop(); // also when a failed stop left the tick armed
        if (asio.joinable()) {
            asio.join();
        }
    }

    void RunAsio() {
        asio = std::thread([this] {
            io.run();
            asioEnded = true;
        });
    }

    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work{io.get_executor()};
    std::thread asio;
    std::atomic<bool> asioEnded{false};
    std::atomic<int> ticks{0};
    std::atomic<int> statusReports{0};
    Housekeeper housekeeper{io,
                            {[] {
                                 return std::chrono::duration_cast<std::chrono::nanoseconds>(
                                            std::chrono::steady_clock::now().time_since_epoch())
                                     .count();
                             },
                             [this] { ++statusReports; }, [this] { ++ticks; }}};
};

TEST_F(HousekeeperTest, TicksComeUntilStoppedAndLeaveNothingArmed) {
    RunAsio();
    housekeeper.Start();
    ASSERT_TRUE(WaitUntil([&] { return ticks >= 3; }, PATIENCE));
    housekeeper.Stop();
    const int ticksAtStop = ticks;
    // With nothing armed, the asio thread runs out of work and ends.
    work.reset();
    ASSERT_TRUE(WaitUntil([&] { return asioEnded.load(); }, PATIENCE)) << "the tick re-armed after the stop";
    EXPECT_EQ(ticks, ticksAtStop);
}

TEST_F(HousekeeperTest, TheFirstTickAnnouncesTheStatusOnlyWhenThrottlingIsEnabled) {
    RunAsio();
    housekeeper.Start();
    ASSERT_TRUE(WaitUntil([&] { return ticks >= 2; }, PATIENCE));
    housekeeper.Stop();
    EXPECT_EQ(statusReports, 1);
}

TEST_F(HousekeeperTest, DisabledThrottlingAnnouncesNothing) {
    housekeeper.SetThrottlingEnabled(false);
    RunAsio();
    housekeeper.Start();
    ASSERT_TRUE(WaitUntil([&] { return ticks >= 2; }, PATIENCE));
    housekeeper.Stop();
    EXPECT_EQ(statusReports, 0);
    EXPECT_FALSE(housekeeper.Throttling());
}

} // namespace
