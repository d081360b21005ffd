#include "plugin/buffer_holder_table.h"

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<std::string> reported;

int32_t CaptureReport(_EventParmsIn *in, _EventParmsOut *) {
    reported.emplace_back(static_cast<const char *>(in->Data));
    return 0;
}

class BufferHolderTableTest : public ::testing::Test {
protected:
    void SetUp() override { reported.clear(); }
    char a[1] = {};
    char b[1] = {};
};

} // namespace

// ---- Hold and Release ----

TEST_F(BufferHolderTableTest, ReleaseRemovesEveryHoldOfThatHolder) {
    BufferHolderTable table(CaptureReport);
    table.Hold(a, 5);
    table.Hold(a, 5);
    EXPECT_TRUE(table.Release(a, 5));
}

TEST_F(BufferHolderTableTest, LastHolderToReleaseGetsTrue) {
    BufferHolderTable table(CaptureReport);
    table.Hold(a, 5);
    table.Hold(a, 7);
    EXPECT_FALSE(table.Release(a, 5));
    EXPECT_TRUE(table.Release(a, 7));
}

TEST_F(BufferHolderTableTest, UnheldAndNullAddressesAnswerTrue) {
    BufferHolderTable table(CaptureReport);
    table.Hold(a, 5);
    EXPECT_TRUE(table.Release(b, 5));
    EXPECT_TRUE(table.Release(nullptr, 5));
    table.Hold(nullptr, 5);
    EXPECT_FALSE(table.Release(a, 9)); // a is still held by 5
}

TEST_F(BufferHolderTableTest, ReleaseHoldTellsWhetherTheHolderHeldIt) {
    BufferHolderTable table(CaptureReport);
    table.Hold(a, 5);
    table.Hold(a, 7);
    const auto stranger = table.ReleaseHold(a, 9);
    EXPECT_FALSE(stranger.removedHold);
    EXPECT_FALSE(stranger.noHolderLeft);
    const auto first = table.ReleaseHold(a, 5);
    EXPECT_TRUE(first.removedHold);
    EXPECT_FALSE(first.noHolderLeft);
    const auto last = table.ReleaseHold(a, 7);
    EXPECT_TRUE(last.removedHold);
    EXPECT_TRUE(last.noHolderLeft);
    EXPECT_FALSE(table.ReleaseHold(a, 7).removedHold);
}

TEST_F(BufferHolderTableTest, ConcurrentReleasesOfTheLastTwoHoldersAnswerTrueExactlyOnce) {
    for (int round = 0; round < 2000; ++round) {
        BufferHolderTable table(CaptureReport);
        table.Hold(a, 1);
        table.Hold(a, 2);
        bool first = false;
        bool second = false;
        std::thread one([&] { first = table.Release(a, 1); });
        std::thread two([&] { second = table.Release(a, 2); });
        one.join();
        two.join();
        ASSERT_NE(first, second) << "round " << round;
    }
}

// ---- Leak report ----

TEST_F(BufferHolderTableTest, LeakReportListsPairsByAddressThenInsertion) {
    const bool aFirst = std::less<const char *>()(a, b);
    char *low = aFirst ? a : b;
    char *high = aFirst ? b : a;
    {
        BufferHolderTable table(CaptureReport);
        table.Hold(high, 0x00010002);
        table.Hold(low, 7);
        table.Hold(low, 0x00010002);
        table.Hold(low, 7);
    }
    char expected[4][64];
    std::snprintf(expected[0], sizeof expected[0], "address %p leaked by plugin 00000007", static_cast<void *>(low));
    std::snprintf(expected[1], sizeof expected[1], "address %p leaked by plugin 00010002", static_cast<void *>(low));
    std::snprintf(expected[2], sizeof expected[2], "address %p leaked by plugin 00000007", static_cast<void *>(low));
    std::snprintf(expected[3], sizeof expected[3], "address %p leaked by plugin 00010002", static_cast<void *>(high));
    EXPECT_EQ(reported, (std::vector<std::string>{expected[0], expected[1], expected[2], expected[3]}));
}

TEST_F(BufferHolderTableTest, EmptyTableReportsNothing) {
    { BufferHolderTable table(CaptureReport); }
    EXPECT_TRUE(reported.empty());
}
