// The housekeeping tick and the memory throttling state machine, driven with
// a test clock and fed memory readings.
#include <cstdlib>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml.h>

#include "core/dvrcore.h"
#include "core/resident_memory.h"
#include "core/status_document.h"

class SchedulerTestAccess {
public:
    static void Tick(dvrcore &core, const timespec &wall, uint64_t (*readResident)()) {
        core.housekeeper.CheckClockAndMemory(wall, readResident);
    }
    static void UpdateThrottling(dvrcore &core, bool low) { core.housekeeper.UpdateThrottling(low); }
    static bool Throttling(const dvrcore &core) { return core.housekeeper.Throttling(); }
    static void DisableThrottling(dvrcore &core) { core.housekeeper.SetThrottlingEnabled(false); }
};

namespace {

constexpr uint64_t PAGE = 4096;
constexpr uint64_t LIMIT_PAGES = 48640; // 190 MiB
constexpr uint64_t OK_BYTES = 100 * PAGE;
constexpr uint64_t LOW_BYTES = (LIMIT_PAGES + 1) * PAGE;
constexpr time_t START = 1700000000;
constexpr int64_t SECOND_NS = 1000000000;

const std::string LOW_LINE = "50 available system memory is low, throttling video";
const std::string OK_LINE = "50 available system memory ok, not throttling video";

// The resident size the next reading returns, and how many readings were made.
struct FakeMemory {
    static uint64_t bytes;
    static int readings;
    static uint64_t Read() {
        ++readings;
        return bytes;
    }
};
uint64_t FakeMemory::bytes = 0;
int FakeMemory::readings = 0;

// A core whose monotonic clock the test sets, and which records its log lines
// and status announcements, in order, instead of printing and publishing them.
class HousekeepingCore : public dvrcore {
public:
    HousekeepingCore() : dvrcore("/nonexistent/core") {}

    int64_t now() override { return clockNs; }
    void ReportStatus() override { record.push_back(std::string("status ") + (Throttling() ? "1" : "0")); }
    void LogSink(uint32_t, uint32_t level, const char *text) override {
        record.push_back(std::to_string(level) + " " + text);
    }

    // One tick at the wall-clock time. The monotonic clock moves in step
    // with it, except by what the wall clock was set by meanwhile.
    void TickAt(time_t second, uint64_t residentBytes, long nanoseconds = 0) {
        FakeMemory::bytes = residentBytes;
        clockNs = (second - START) * SECOND_NS + nanoseconds - wallClockSetBy;
        SchedulerTestAccess::Tick(*this, timespec{second, nanoseconds}, FakeMemory::Read);
    }
    void SetWallClockBy(int64_t ns) { wallClockSetBy += ns; }
    bool Throttling() const { return SchedulerTestAccess::Throttling(*this); }
    // Takes what was recorded since the last call.
    std::vector<std::string> TakeRecord() { return std::exchange(record, {}); }

    int64_t clockNs = 0;

private:
    int64_t wallClockSetBy = 0;
    std::vector<std::string> record;
};

class Housekeeping : public ::testing::Test {
protected:
    void SetUp() override { FakeMemory::readings = 0; }
    HousekeepingCore core;
};

using Lines = std::vector<std::string>;

// ---- Announcements ----

TEST_F(Housekeeping, FirstTickAnnouncesNotThrottlingBeforeAnyReading) {
    core.TickAt(START, OK_BYTES);
    EXPECT_EQ(core.TakeRecord(), Lines({"status 0"}));
    EXPECT_FALSE(core.Throttling());
}

TEST_F(Housekeeping, FirstLowReadingLogsAndAnnouncesOnceWithinTheFirstTick) {
    core.TickAt(START, LOW_BYTES);
    EXPECT_EQ(core.TakeRecord(), Lines({"status 0", LOW_LINE, "status 1"}));
    EXPECT_TRUE(core.Throttling());
    core.TickAt(START + 1, LOW_BYTES);
    core.TickAt(START + 2, LOW_BYTES);
    EXPECT_EQ(core.TakeRecord(), Lines());
    EXPECT_TRUE(core.Throttling());
}

TEST_F(Housekeeping, AlternatingMemoryThrottlesAtOnceButReleasesAMinuteAfterTheLastLowReading) {
    time_t second = START;
    for (int i = 0; i < 10; ++i, ++second) {
        const bool low = i % 2 == 0;
        core.TickAt(second, low ? LOW_BYTES : OK_BYTES);
        EXPECT_EQ(core.Throttling(), low) << i;
    }
    EXPECT_EQ(core.TakeRecord(), Lines({"status 0", LOW_LINE, "status 1"}));
    const time_t lastLow = START + 8;
    for (; second < lastLow + 60; ++second) {
        core.TickAt(second, OK_BYTES);
    }
    EXPECT_EQ(core.TakeRecord(), Lines());
    core.TickAt(lastLow + 60, OK_BYTES);
    EXPECT_EQ(core.TakeRecord(), Lines({OK_LINE, "status 0"}));
    core.TickAt(lastLow + 61, OK_BYTES);
    EXPECT_EQ(core.TakeRecord(), Lines());
    EXPECT_FALSE(core.Throttling());
}

TEST_F(Housekeeping, ReleaseComesExactlySixtySecondsAfterTheLastLowReading) {
    core.clockNs = 5 * SECOND_NS;
    SchedulerTestAccess::UpdateThrottling(core, true);
    core.clockNs = 65 * SECOND_NS - 1;
    SchedulerTestAccess::UpdateThrottling(core, false);
    EXPECT_EQ(core.TakeRecord(), Lines({LOW_LINE, "status 1"}));
    core.clockNs = 65 * SECOND_NS;
    SchedulerTestAccess::UpdateThrottling(core, false);
    EXPECT_EQ(core.TakeRecord(), Lines({OK_LINE, "status 0"}));
}

TEST_F(Housekeeping, OkReadingAtTheClocksLowestValueIsNoRelease) {
    core.clockNs = INT64_MIN;
    SchedulerTestAccess::UpdateThrottling(core, false);
    core.clockNs = INT64_MIN + 1;
    SchedulerTestAccess::UpdateThrottling(core, true);
    SchedulerTestAccess::UpdateThrottling(core, false);
    EXPECT_EQ(core.TakeRecord(), Lines({LOW_LINE, "status 1"}));
}

// ---- Readings ----

TEST_F(Housekeeping, SizeAtTheLimitIsNotLowAndOnePageMoreIs) {
    core.TickAt(START, LIMIT_PAGES * PAGE);
    EXPECT_FALSE(core.Throttling());
    core.TickAt(START + 1, (LIMIT_PAGES + 1) * PAGE);
    EXPECT_TRUE(core.Throttling());
}

TEST_F(Housekeeping, ResidentSizeAbove4GiBIsLowNotWrapped) {
    core.TickAt(START, (uint64_t{1} << 32) + PAGE);
    EXPECT_TRUE(core.Throttling());
}

TEST_F(Housekeeping, MemoryIsReadOncePerWallClockSecond) {
    for (int tick = 0; tick < 10; ++tick) {
        core.TickAt(START, OK_BYTES);
    }
    EXPECT_EQ(FakeMemory::readings, 1);
    core.TickAt(START + 1, OK_BYTES);
    EXPECT_EQ(FakeMemory::readings, 2);
}

TEST_F(Housekeeping, DisabledThrottlingNeitherReadsNorAnnouncesButReportsClockJumps) {
    SchedulerTestAccess::DisableThrottling(core);
    core.TickAt(START, LOW_BYTES);
    core.TickAt(START + 1, LOW_BYTES);
    core.SetWallClockBy(4 * SECOND_NS);
    core.TickAt(START + 5, LOW_BYTES);
    EXPECT_EQ(core.TakeRecord(), Lines({"50 system time changed by 4 seconds"}));
    EXPECT_EQ(FakeMemory::readings, 0);
    EXPECT_FALSE(core.Throttling());
}

// ---- Clock jumps ----

constexpr long TICK_NS = 100000000;

TEST_F(Housekeeping, WallClockSetEitherWayIsReportedWithItsSignTruncated) {
    core.TickAt(START, OK_BYTES);
    core.SetWallClockBy(SECOND_NS + SECOND_NS / 2); // 1.5 s: truncated to 1, not reported
    core.TickAt(START + 1, OK_BYTES, 6 * TICK_NS);
    core.SetWallClockBy(2 * SECOND_NS);
    core.TickAt(START + 3, OK_BYTES, 7 * TICK_NS);
    core.SetWallClockBy(-10 * SECOND_NS);
    core.TickAt(START - 7, OK_BYTES, 8 * TICK_NS);
    core.SetWallClockBy(-(2 * SECOND_NS - 1)); // just short of -2 s: -1
    core.TickAt(START - 8, OK_BYTES, 1);
    EXPECT_EQ(core.TakeRecord(),
              Lines({"status 0", "50 system time changed by 2 seconds", "50 system time changed by -10 seconds"}));
}

// Both clocks move alike while the asio thread is busy: a late tick is no
// change of the time, however late, and wherever within a second it falls.
TEST_F(Housekeeping, TickDelayedBySecondsReportsNothing) {
    core.TickAt(START, OK_BYTES, 9 * TICK_NS);
    core.TickAt(START + 3, OK_BYTES, 5 * TICK_NS); // 2.6 s late
    core.TickAt(START + 3, OK_BYTES, 6 * TICK_NS);
    core.TickAt(START + 3603, OK_BYTES, 6 * TICK_NS); // an hour late
    EXPECT_EQ(core.TakeRecord(), Lines({"status 0"}));
}

TEST_F(Housekeeping, ClockChangeDuringADelayedTickCountsOnlyTheChange) {
    core.TickAt(START, OK_BYTES);
    core.SetWallClockBy(-5 * SECOND_NS);
    core.TickAt(START + 3 - 5, OK_BYTES); // 3 s late, and set back by 5
    EXPECT_EQ(core.TakeRecord(), Lines({"status 0", "50 system time changed by -5 seconds"}));
}

// ---- The resident size and the status document ----

TEST(ResidentMemory, GrowsByWhatThisProcessTouches) {
    const uint64_t before = ResidentMemoryBytes();
    EXPECT_GT(before, 0u);
    const std::vector<char> touched(64 << 20, 1);
    EXPECT_GE(ResidentMemoryBytes(), before + (60 << 20));
    EXPECT_EQ(touched.back(), 1);
}

std::string Compact(const TiXmlDocument &document) {
    TiXmlPrinter printer;
    printer.SetStreamPrinting();
    document.Accept(&printer);
    return printer.CStr();
}

TEST(StatusDocument, HoldsTheCoreIdThrottlingAndTimeAsSignedDecimals) {
    EXPECT_EQ(Compact(MemoryStatusDocument(true, START)),
              "<?xml ?><kDVR><Memory ID=\"-2147483648\" Throttling=\"1\" Time=\"1700000000\" /></kDVR>");
    EXPECT_EQ(Compact(MemoryStatusDocument(false, 0)),
              "<?xml ?><kDVR><Memory ID=\"-2147483648\" Throttling=\"0\" Time=\"0\" /></kDVR>");
}

} // namespace
