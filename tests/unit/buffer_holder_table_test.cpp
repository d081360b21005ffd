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

TEST_F(BufferHolderTableTest, PassReleasesOneHolderAndHoldsForAnother) {
    BufferHolderTable table(CaptureReport);
    table.Hold(a, CORE_SOURCE);
    table.Hold(a, 5);
    table.Hold(a, 5);
    table.Pass(a, 5, 7);
    EXPECT_FALSE(table.ReleaseHold(a, 5).removedHold);
    EXPECT_FALSE(table.Release(a, CORE_SOURCE));
    EXPECT_TRUE(table.Release(a, 7));
    table.Pass(nullptr, 5, 7);
    EXPECT_TRUE(table.Release(b, 7));
}

TEST_F(BufferHolderTableTest, HoldBothHoldsForEachInTurn) {
    {
        BufferHolderTable table(CaptureReport);
        table.HoldBoth(a, CORE_SOURCE, 5);
        table.HoldBoth(nullptr, CORE_SOURCE, 5);
        EXPECT_FALSE(table.Release(a, 5));
        table.Hold(a, 5);
    }
    char expected[2][64];
    std::snprintf(expected[0], sizeof expected[0], "address %p leaked by plugin 80000000", static_cast<void *>(a));
    std::snprintf(expected[1], sizeof expected[1], "address %p leaked by plugin 00000005", static_cast<void *>(a));
    EXPECT_EQ(reported, (std::vector<std::string>{expected[0], expected[1]}));
}

TEST_F(BufferHolderTableTest, ReleaseBothAnswersWhetherAnyOtherHolderIsLeft) {
    BufferHolderTable table(CaptureReport);
    table.Hold(a, CORE_SOURCE);
    table.Hold(a, 5);
    table.Hold(a, 9);
    EXPECT_FALSE(table.ReleaseBoth(a, 5, CORE_SOURCE));
    EXPECT_TRUE(table.ReleaseBoth(a, 9, CORE_SOURCE));
    EXPECT_TRUE(table.ReleaseBoth(nullptr, 9, CORE_SOURCE));
}

// Released entries are kept for later buffers: nothing of the old buffer
// may come along.
TEST_F(BufferHolderTableTest, ABufferHeldAfterAnotherWasReleasedHasOnlyItsOwnHolders) {
    BufferHolderTable table(CaptureReport);
    table.Hold(a, 1);
    table.Hold(a, 2);
    EXPECT_FALSE(table.Release(a, 1));
    EXPECT_TRUE(table.Release(a, 2));
    table.Hold(b, 3);
    EXPECT_TRUE(table.Release(a, 2)); // a is gone for good
    EXPECT_FALSE(table.ReleaseHold(b, 1).removedHold);
    EXPECT_FALSE(table.Release(b, 2));
    EXPECT_TRUE(table.Release(b, 3));
}

TEST_F(BufferHolderTableTest, ManyBuffersComeAndGoWithoutMixingTheirHolders) {
    std::vector<char> buffers(300);
    BufferHolderTable table(CaptureReport);
    for (int round = 0; round < 3; ++round) {
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            table.Hold(&buffers[i], static_cast<uint32_t>(i));
            table.Hold(&buffers[i], CORE_SOURCE);
        }
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            ASSERT_FALSE(table.Release(&buffers[i], static_cast<uint32_t>(i + 1)));
            ASSERT_FALSE(table.Release(&buffers[i], static_cast<uint32_t>(i)));
            ASSERT_TRUE(table.Release(&buffers[i], CORE_SOURCE));
        }
    }
}

// ---- Leak report ----

TEST_F(BufferHolderTableTest, LeakReportIsInAddressOrderWhateverTheOrderOfHolding) {
    std::vector<char> buffers(100);
    {
        BufferHolderTable table(CaptureReport);
        for (std::size_t i = buffers.size(); i-- > 0;) {
            table.Hold(&buffers[i], 0x00010000);
            table.Hold(&buffers[i], CORE_SOURCE);
        }
        for (std::size_t i = 0; i < buffers.size(); i += 2) {
            table.Release(&buffers[i], CORE_SOURCE);
            table.Release(&buffers[i], 0x00010000);
        }
    }
    std::vector<std::string> expected;
    for (std::size_t i = 1; i < buffers.size(); i += 2) {
        char line[64];
        for (const char *holder : {"00010000", "80000000"}) {
            std::snprintf(line, sizeof line, "address %p leaked by plugin %s", static_cast<void *>(&buffers[i]),
                          holder);
            expected.emplace_back(line);
        }
    }
    EXPECT_EQ(reported, expected);
}

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

// ---- Leak summary ----

namespace {

// Leak lines and summaries in the order they come.
std::vector<std::string> told;

int32_t CaptureLine(_EventParmsIn *in, _EventParmsOut *) {
    told.emplace_back(static_cast<const char *>(in->Data));
    return 0;
}

void CaptureSummary(uint32_t holder, std::size_t buffers, uint64_t bytes) {
    told.push_back("summary " + std::to_string(holder) + " " + std::to_string(buffers) + " " + std::to_string(bytes));
}

} // namespace

TEST(BufferHolderLeakSummary, FollowsTheLinesOncePerHolderInAscendingOrder) {
    told.clear();
    char buffers[2] = {};
    {
        BufferHolderTable table(CaptureLine, CaptureSummary);
        table.HoldBoth(&buffers[0], 9, 5, 10);
        table.Hold(&buffers[0], 5); // held twice: still one buffer of 5's
        table.HoldBoth(&buffers[1], 7, 5, 20);
    }
    ASSERT_EQ(told.size(), 8u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_NE(told[i].find(" leaked by plugin "), std::string::npos) << told[i];
    }
    EXPECT_EQ(told[5], "summary 5 2 30");
    EXPECT_EQ(told[6], "summary 7 1 20");
    EXPECT_EQ(told[7], "summary 9 1 10");
}

// A buffer's entry is reused for the next buffer: its length must be that one's.
TEST(BufferHolderLeakSummary, CountsOnlyBuffersStillHeldWithTheirOwnLengths) {
    told.clear();
    char buffers[2] = {};
    {
        BufferHolderTable table(CaptureLine, CaptureSummary);
        table.HoldBoth(&buffers[0], CORE_SOURCE, 5, 100);
        EXPECT_TRUE(table.ReleaseBoth(&buffers[0], 5, CORE_SOURCE));
        table.HoldBoth(&buffers[1], CORE_SOURCE, 5, 3);
        EXPECT_FALSE(table.Release(&buffers[1], CORE_SOURCE));
    }
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[1], "summary 5 1 3");
}

TEST(BufferHolderLeakSummary, NothingLeakedNothingSummed) {
    told.clear();
    char buffer[1] = {};
    {
        BufferHolderTable table(CaptureLine, CaptureSummary);
        table.HoldBoth(buffer, CORE_SOURCE, 5, 1);
        EXPECT_TRUE(table.ReleaseBoth(buffer, 5, CORE_SOURCE));
    }
    EXPECT_TRUE(told.empty());
}
