#include "plugin/buffer_holder_table.h"

#include <algorithm>
#include <cstdlib>
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
    // Two copies of the table's own making.
    void CopiesFrom(BufferHolderTable &table) {
        a = table.Copy("a", 1);
        b = table.Copy("b", 1);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
    }
    void *a = nullptr;
    void *b = nullptr;
};

// n copies of one byte each.
std::vector<void *> CopiesOf(BufferHolderTable &table, std::size_t n) {
    std::vector<void *> copies;
    for (std::size_t i = 0; i < n; ++i) {
        copies.push_back(table.Copy("x", 1));
    }
    return copies;
}

} // namespace

// ---- Hold and Release ----

TEST_F(BufferHolderTableTest, ReleaseRemovesEveryHoldOfThatHolder) {
    BufferHolderTable table(CaptureReport);
    CopiesFrom(table);
    table.Hold(a, 5);
    table.Hold(a, 5);
    EXPECT_TRUE(table.Release(a, 5));
}

TEST_F(BufferHolderTableTest, LastHolderToReleaseGetsTrue) {
    BufferHolderTable table(CaptureReport);
    CopiesFrom(table);
    table.Hold(a, 5);
    table.Hold(a, 7);
    EXPECT_FALSE(table.Release(a, 5));
    EXPECT_TRUE(table.Release(a, 7));
}

TEST_F(BufferHolderTableTest, UnheldAndNullAddressesAnswerTrue) {
    BufferHolderTable table(CaptureReport);
    CopiesFrom(table);
    table.Hold(a, 5);
    EXPECT_TRUE(table.Release(b, 5));
    EXPECT_TRUE(table.Release(nullptr, 5));
    table.Hold(nullptr, 5);
    EXPECT_FALSE(table.Release(a, 9)); // a is still held by 5
}

TEST_F(BufferHolderTableTest, ReleaseHoldTellsWhetherTheHolderHeldIt) {
    BufferHolderTable table(CaptureReport);
    CopiesFrom(table);
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
        CopiesFrom(table);
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

// Plugins hand in whatever address they like: one that is no live copy's
// start is ignored, and the holds of the copies stay as they were.
TEST_F(BufferHolderTableTest, AReleaseOfAnAddressThatIsNoCopysIsIgnored) {
    BufferHolderTable table(CaptureReport);
    CopiesFrom(table);
    table.Hold(a, 5);
    const std::string bytes(SlabCopyPool::MAX_SLAB_DATA + 1, 'x');
    void *large = table.Copy(bytes.data(), bytes.size());
    table.Hold(large, 5);
    EXPECT_TRUE(table.Release(large, 5));
    table.Free(large);
    char onTheStack[4] = {};
    void *onTheHeap = std::malloc(16);
    const void *inside = static_cast<char *>(a) + 1;
    for (const void *stranger : std::vector<const void *>{onTheStack, onTheHeap, inside, large}) {
        const auto outcome = table.ReleaseHold(stranger, 5);
        EXPECT_FALSE(outcome.removedHold);
        EXPECT_TRUE(outcome.noHolderLeft);
    }
    std::free(onTheHeap);
    const auto own = table.ReleaseHold(a, 5);
    EXPECT_TRUE(own.removedHold);
    EXPECT_TRUE(own.noHolderLeft);
}

TEST_F(BufferHolderTableTest, PassReleasesOneHolderAndHoldsForAnother) {
    BufferHolderTable table(CaptureReport);
    CopiesFrom(table);
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
        CopiesFrom(table);
        table.HoldBoth(a, CORE_SOURCE, 5);
        table.HoldBoth(nullptr, CORE_SOURCE, 5);
        EXPECT_FALSE(table.Release(a, 5));
        table.Hold(a, 5);
    }
    char expected[2][64];
    std::snprintf(expected[0], sizeof expected[0], "address %p leaked by plugin 80000000", a);
    std::snprintf(expected[1], sizeof expected[1], "address %p leaked by plugin 00000005", a);
    EXPECT_EQ(reported, (std::vector<std::string>{expected[0], expected[1]}));
}

TEST_F(BufferHolderTableTest, ReleaseBothAnswersWhetherAnyOtherHolderIsLeft) {
    BufferHolderTable table(CaptureReport);
    CopiesFrom(table);
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
    CopiesFrom(table);
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
    BufferHolderTable table(CaptureReport);
    const std::vector<void *> buffers = CopiesOf(table, 300);
    for (int round = 0; round < 3; ++round) {
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            table.Hold(buffers[i], static_cast<uint32_t>(i));
            table.Hold(buffers[i], CORE_SOURCE);
        }
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            ASSERT_FALSE(table.Release(buffers[i], static_cast<uint32_t>(i + 1)));
            ASSERT_FALSE(table.Release(buffers[i], static_cast<uint32_t>(i)));
            ASSERT_TRUE(table.Release(buffers[i], CORE_SOURCE));
        }
    }
}

// ---- Leak report ----

TEST_F(BufferHolderTableTest, LeakReportIsInAddressOrderWhateverTheOrderOfHolding) {
    std::vector<void *> buffers;
    {
        BufferHolderTable table(CaptureReport);
        buffers = CopiesOf(table, 100);
        std::sort(buffers.begin(), buffers.end(), std::less<void *>());
        for (std::size_t i = buffers.size(); i-- > 0;) {
            table.Hold(buffers[i], 0x00010000);
            table.Hold(buffers[i], CORE_SOURCE);
        }
        for (std::size_t i = 0; i < buffers.size(); i += 2) {
            table.Release(buffers[i], CORE_SOURCE);
            table.Release(buffers[i], 0x00010000);
        }
    }
    std::vector<std::string> expected;
    for (std::size_t i = 1; i < buffers.size(); i += 2) {
        char line[64];
        for (const char *holder : {"00010000", "80000000"}) {
            std::snprintf(line, sizeof line, "address %p leaked by plugin %s", buffers[i], holder);
            expected.emplace_back(line);
        }
    }
    EXPECT_EQ(reported, expected);
}

TEST_F(BufferHolderTableTest, LeakReportListsPairsByAddressThenInsertion) {
    void *low = nullptr;
    void *high = nullptr;
    {
        BufferHolderTable table(CaptureReport);
        CopiesFrom(table);
        const bool aFirst = std::less<void *>()(a, b);
        low = aFirst ? a : b;
        high = aFirst ? b : a;
        table.Hold(high, 0x00010002);
        table.Hold(low, 7);
        table.Hold(low, 0x00010002);
        table.Hold(low, 7);
    }
    char expected[4][64];
    std::snprintf(expected[0], sizeof expected[0], "address %p leaked by plugin 00000007", low);
    std::snprintf(expected[1], sizeof expected[1], "address %p leaked by plugin 00010002", low);
    std::snprintf(expected[2], sizeof expected[2], "address %p leaked by plugin 00000007", low);
    std::snprintf(expected[3], sizeof expected[3], "address %p leaked by plugin 00010002", high);
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
    const std::string bytes(20, 'x');
    {
        BufferHolderTable table(CaptureLine, CaptureSummary);
        void *ten = table.Copy(bytes.data(), 10);
        void *twenty = table.Copy(bytes.data(), 20);
        table.HoldBoth(ten, 9, 5);
        table.Hold(ten, 5); // held twice: still one buffer of 5's
        table.HoldBoth(twenty, 7, 5);
    }
    ASSERT_EQ(told.size(), 8u);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_NE(told[i].find(" leaked by plugin "), std::string::npos) << told[i];
    }
    EXPECT_EQ(told[5], "summary 5 2 30");
    EXPECT_EQ(told[6], "summary 7 1 20");
    EXPECT_EQ(told[7], "summary 9 1 10");
}

// A freed copy's memory is reused for the next copy (in the slabs, at the
// same address): its length must be that one's.
TEST(BufferHolderLeakSummary, CountsOnlyBuffersStillHeldWithTheirOwnLengths) {
    told.clear();
    const std::string bytes(100, 'x');
    {
        BufferHolderTable table(CaptureLine, CaptureSummary);
        void *first = table.Copy(bytes.data(), 60);
        table.HoldBoth(first, CORE_SOURCE, 5);
        EXPECT_TRUE(table.ReleaseBoth(first, 5, CORE_SOURCE));
        table.Free(first);
        void *second = table.Copy(bytes.data(), 3);
        table.HoldBoth(second, CORE_SOURCE, 5);
        EXPECT_FALSE(table.Release(second, CORE_SOURCE));
    }
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[1], "summary 5 1 3");
}

TEST(BufferHolderLeakSummary, NothingLeakedNothingSummed) {
    told.clear();
    {
        BufferHolderTable table(CaptureLine, CaptureSummary);
        void *buffer = table.Copy("x", 1);
        table.HoldBoth(buffer, CORE_SOURCE, 5);
        EXPECT_TRUE(table.ReleaseBoth(buffer, 5, CORE_SOURCE));
    }
    EXPECT_TRUE(told.empty());
}
