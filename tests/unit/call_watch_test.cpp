#include "plugin/call_watch.h"

#include <atomic>
#include <cstdint>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr int64_t MS = 1000000;

std::atomic<int64_t> fakeNow{0};
int64_t FakeClock() { return fakeNow.load(); }

class CallSlotTest : public ::testing::Test {
protected:
    void SetUp() override { fakeNow = 0; }

    // The reports one look at the slot makes at time ms.
    std::vector<WatchedCallReport> CheckAt(int64_t ms) {
        std::vector<WatchedCallReport> reports;
        slot.Check(ms * MS, [&](const WatchedCallReport &report) { reports.push_back(report); });
        return reports;
    }

    CallSlot slot{FakeClock};
};

} // namespace

// ---- Calls ----

// Calls are timed from the watcher's first sighting: the owner reads no clock.
TEST_F(CallSlotTest, CallIsReportedOnceWhenOverASecondSinceFirstSeenAndEndTellsItsDuration) {
    slot.Begin(0x00C20000u, WatchedCall::Write, 0x1, 0x10);
    EXPECT_TRUE(CheckAt(100).empty());
    EXPECT_TRUE(CheckAt(600).empty());
    EXPECT_TRUE(CheckAt(1100).empty());
    const auto reports = CheckAt(1101);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].plugin, 0x00C20000u);
    EXPECT_EQ(reports[0].call, WatchedCall::Write);
    EXPECT_EQ(reports[0].first, 0x1u);
    EXPECT_EQ(reports[0].second, 0x10u);
    EXPECT_EQ(reports[0].elapsedMs, 1001);
    EXPECT_TRUE(CheckAt(1600).empty());
    EXPECT_TRUE(CheckAt(60000).empty());
    fakeNow = 1800 * MS;
    const auto returned = slot.End();
    ASSERT_TRUE(returned.has_value());
    EXPECT_EQ(returned->plugin, 0x00C20000u);
    EXPECT_EQ(returned->elapsedMs, 1700);
}

// However late the watcher first looks, a call is never reported before it
// has run for over a second while watched.
TEST_F(CallSlotTest, CallFirstSeenLateIsNotReportedAtOnce) {
    slot.Begin(3, WatchedCall::Write, 0x1, 0x10);
    EXPECT_TRUE(CheckAt(5000).empty());
    EXPECT_TRUE(CheckAt(6000).empty());
    EXPECT_EQ(CheckAt(6001).size(), 1u);
}

TEST_F(CallSlotTest, ShortCallIsNeitherReportedNorTold) {
    slot.Begin(7, WatchedCall::IpcIoctl, 0x04700000u, 100);
    EXPECT_TRUE(CheckAt(0).empty());
    EXPECT_TRUE(CheckAt(900).empty());
    fakeNow = 950 * MS;
    EXPECT_FALSE(slot.End().has_value());
    EXPECT_TRUE(CheckAt(5000).empty());
}

// The next call starts unreported and is timed anew, whatever the last one was.
TEST_F(CallSlotTest, EachCallIsReportedOnItsOwn) {
    slot.Begin(1, WatchedCall::UpdateConfig, 0x100, 0x1000010);
    EXPECT_TRUE(CheckAt(0).empty());
    EXPECT_EQ(CheckAt(1200).size(), 1u);
    fakeNow = 1300 * MS;
    EXPECT_TRUE(slot.End().has_value());
    slot.Begin(2, WatchedCall::Write, 0x1, 0x20);
    EXPECT_TRUE(CheckAt(1300).empty());
    EXPECT_TRUE(CheckAt(2000).empty());
    const auto reports = CheckAt(2400);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].plugin, 2u);
    EXPECT_EQ(reports[0].elapsedMs, 1100);
}

// ---- Stop waits ----

TEST_F(CallSlotTest, StopWaitIsReportedEveryTwoSecondsAndEndsSilently) {
    slot.Begin(9, WatchedCall::Close);
    EXPECT_TRUE(CheckAt(0).empty());
    EXPECT_TRUE(CheckAt(1999).empty());
    auto reports = CheckAt(2000);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].call, WatchedCall::Close);
    EXPECT_EQ(reports[0].elapsedMs, 2000);
    EXPECT_TRUE(CheckAt(3900).empty());
    reports = CheckAt(4100);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].elapsedMs, 4100);
    // A late look reports once for the time that passed, not once per period missed.
    EXPECT_EQ(CheckAt(9000).size(), 1u);
    EXPECT_TRUE(CheckAt(9500).empty());
    EXPECT_EQ(CheckAt(10000).size(), 1u);
    fakeNow = 10500 * MS;
    EXPECT_FALSE(slot.End().has_value());
}

TEST_F(CallSlotTest, NextWaitCountsItsOwnTime) {
    slot.Begin(9, WatchedCall::WorkerThread);
    EXPECT_TRUE(CheckAt(0).empty());
    EXPECT_EQ(CheckAt(4100).size(), 1u);
    slot.End();
    slot.Begin(9, WatchedCall::Unload);
    EXPECT_TRUE(CheckAt(5000).empty());
    EXPECT_TRUE(CheckAt(6500).empty());
    const auto reports = CheckAt(7000);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].call, WatchedCall::Unload);
    EXPECT_EQ(reports[0].elapsedMs, 2000);
}

// ---- Threads ----

// The owner ends calls while the watcher reports them: a call is reported
// exactly when its End tells its duration, and a report never mixes the
// words of two calls.
TEST(CallSlotThreads, ReportAndEndAgreeWhileCallsComeAndGo) {
    constexpr uint32_t CALLS = 200000;
    fakeNow = 0;
    CallSlot slot(FakeClock);
    std::atomic<bool> done{false};
    std::set<uint32_t> reported;
    bool mixed = false;
    std::thread watcher([&] {
        // Each look is two seconds after the last: a call seen twice is due.
        for (int64_t looks = 0; !done; ++looks) {
            slot.Check(looks * 2 * CallSlot::CALL_LIMIT_MS * MS, [&](const WatchedCallReport &report) {
                reported.insert(report.plugin);
                mixed = mixed || report.first != report.plugin || report.second != ~report.plugin;
            });
        }
    });
    std::set<uint32_t> told;
    for (uint32_t call = 1; call <= CALLS; ++call) {
        slot.Begin(call, WatchedCall::Write, call, ~call);
        for (volatile uint32_t spin = 0; spin < call % 1024; ++spin) {
            // calls of all lengths, so that the watcher meets many of them
        }
        if (slot.End()) {
            told.insert(call);
        }
    }
    done = true;
    watcher.join();
    EXPECT_FALSE(mixed);
    EXPECT_EQ(reported, told);
    RecordProperty("reported_calls", static_cast<int>(told.size()));
}
