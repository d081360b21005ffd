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

// One delivery of the copy in which each of `keepers`, in turn, keeps it:
// whether no holder is left at its end.
bool DeliverKeptBy(BufferHolderTable &table, const void *copy, std::initializer_list<uint32_t> keepers) {
    for (const uint32_t keeper : keepers) {
        table.HoldForCall(copy, keeper);
        EXPECT_TRUE(table.KeepAfterCall(copy, keeper));
    }
    return table.EndDelivery(copy, keepers.size() != 0);
}

} // namespace

// ---- Recorded holds and their release ----

TEST_F(BufferHolderTableTest, AReleaseRemovesEveryHoldOfThatHolderAndTheLastOneTellsSo) {
    BufferHolderTable table(CaptureReport);
    CopiesFrom(table);
    EXPECT_FALSE(DeliverKeptBy(table, a, {5, 7}));
    EXPECT_FALSE(DeliverKeptBy(table, a, {5}));
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
    const auto unheld = table.ReleaseHold(b, 7);
    EXPECT_FALSE(unheld.removedHold);
    EXPECT_TRUE(unheld.noHolderLeft);
    EXPECT_TRUE(table.ReleaseHold(nullptr, 7).noHolderLeft);
}

// The freeing release answers for the last hold alone: a stranger, a holder
// that leaves others, the core and an unheld copy free nothing.
TEST_F(BufferHolderTableTest, AFreeingReleaseFreesOnlyWhenItRemovesTheLastHold) {
    BufferHolderTable table(CaptureReport);
    CopiesFrom(table);
    EXPECT_FALSE(DeliverKeptBy(table, a, {5, 7}));
    EXPECT_FALSE(table.ReleaseHoldFreeingLast(a, 9));
    EXPECT_FALSE(table.ReleaseHoldFreeingLast(a, CORE_SOURCE));
    EXPECT_FALSE(table.ReleaseHoldFreeingLast(a, 5));
    EXPECT_TRUE(table.ReleaseHoldFreeingLast(a, 7));
    EXPECT_FALSE(table.ReleaseHoldFreeingLast(b, 7));
    EXPECT_FALSE(table.ReleaseHoldFreeingLast(nullptr, 7));
    void *reused = table.Copy("c", 1);
    EXPECT_EQ(table.HeldLength(reused, 7), std::nullopt) << "the freed copy's holds do not come along";
    table.Free(b);
    table.Free(reused);
}

TEST_F(BufferHolderTableTest, ConcurrentReleasesOfTheLastTwoHoldersAnswerTrueExactlyOnce) {
    for (int round = 0; round < 2000; ++round) {
        BufferHolderTable table(CaptureReport);
        CopiesFrom(table);
        DeliverKeptBy(table, a, {1, 2});
        bool first = false;
        bool second = false;
        std::thread one([&] { first = table.ReleaseHold(a, 1).noHolderLeft; });
        std::thread two([&] { second = table.ReleaseHold(a, 2).noHolderLeft; });
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
    DeliverKeptBy(table, a, {5});
    const std::string bytes(SlabCopyPool::MAX_SLAB_DATA + 1, 'x');
    void *large = table.Copy(bytes.data(), bytes.size());
    DeliverKeptBy(table, large, {5});
    EXPECT_TRUE(table.ReleaseHold(large, 5).noHolderLeft);
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

// Released copies' heads are reused for later copies: nothing of the old
// copy's holds may come along.
TEST_F(BufferHolderTableTest, ACopyMadeAfterAnotherWasFreedHasOnlyItsOwnHolders) {
    BufferHolderTable table(CaptureReport);
    CopiesFrom(table);
    DeliverKeptBy(table, a, {1, 2});
    EXPECT_FALSE(table.ReleaseHold(a, 1).noHolderLeft);
    EXPECT_TRUE(table.ReleaseHold(a, 2).noHolderLeft);
    table.Free(a);
    void *reused = table.Copy("c", 1);
    EXPECT_FALSE(DeliverKeptBy(table, reused, {3}));
    EXPECT_FALSE(table.ReleaseHold(reused, 1).removedHold);
    EXPECT_FALSE(table.ReleaseHold(reused, 2).removedHold);
    EXPECT_TRUE(table.ReleaseHold(reused, 3).noHolderLeft);
}

TEST_F(BufferHolderTableTest, ManyBuffersComeAndGoWithoutMixingTheirHolders) {
    BufferHolderTable table(CaptureReport);
    const std::vector<void *> buffers = CopiesOf(table, 300);
    for (int round = 0; round < 3; ++round) {
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            table.HoldForCall(buffers[i], static_cast<uint32_t>(i + 1));
            ASSERT_TRUE(table.KeepAfterCall(buffers[i], static_cast<uint32_t>(i + 1)));
        }
        for (std::size_t i = 0; i < buffers.size(); ++i) {
            ASSERT_FALSE(table.ReleaseHold(buffers[i], static_cast<uint32_t>(i + 2)).removedHold);
            const auto own = table.ReleaseHold(buffers[i], static_cast<uint32_t>(i + 1));
            ASSERT_TRUE(own.removedHold);
            ASSERT_FALSE(own.noHolderLeft) << "the core delivers it still";
            ASSERT_TRUE(table.EndDelivery(buffers[i], true));
        }
    }
}

// ---- The delivery loop's holds ----

// A plugin's call hold lasts from its call until the next plugin's call or
// the end of the delivery, and the core holds the copy meanwhile.
TEST_F(BufferHolderTableTest, ACallHoldIsAHoldUntilTheNextCallOrTheEnd) {
    BufferHolderTable table(CaptureReport);
    CopiesFrom(table);
    table.HoldForCall(a, 5);
    EXPECT_FALSE(table.ReleaseHold(a, 9).removedHold);
    EXPECT_EQ(table.HeldLength(a, 5), 1u);
    EXPECT_FALSE(table.HeldLength(a, 9));
    table.HoldForCall(a, 7);
    EXPECT_FALSE(table.ReleaseHold(a, 5).removedHold);
    const auto during = table.ReleaseHold(a, 7);
    EXPECT_TRUE(during.removedHold);
    EXPECT_FALSE(during.noHolderLeft);
    EXPECT_FALSE(table.ReleaseHold(a, 7).removedHold) << "released once";
    EXPECT_TRUE(table.EndDelivery(a, false));
    const auto after = table.ReleaseHold(a, 7);
    EXPECT_FALSE(after.removedHold);
    EXPECT_TRUE(after.noHolderLeft);
}

// A plugin that gives the buffer back during its call and then says it kept
// it holds nothing: the release came first.
TEST_F(BufferHolderTableTest, AKeeperThatReleasedDuringItsCallHoldsNothing) {
    BufferHolderTable table(CaptureReport);
    CopiesFrom(table);
    table.HoldForCall(a, 5);
    EXPECT_TRUE(table.ReleaseHold(a, 5).removedHold);
    EXPECT_TRUE(table.KeepAfterCall(a, 5));
    EXPECT_TRUE(table.EndDelivery(a, true));
}

// The core's own ID and job control's never release a delivery hold.
TEST_F(BufferHolderTableTest, NoReleaseInTheCoresNameOrJobControlsEndsADelivery) {
    BufferHolderTable table(CaptureReport);
    CopiesFrom(table);
    table.HoldForCall(a, 5);
    EXPECT_FALSE(table.ReleaseHold(a, CORE_SOURCE).removedHold);
    EXPECT_FALSE(table.ReleaseHold(a, JOB_CONTROL_SOURCE).removedHold);
    EXPECT_FALSE(table.ReleaseHold(b, JOB_CONTROL_SOURCE).removedHold);
    table.HoldForCall(a, CORE_SOURCE);
    EXPECT_FALSE(table.ReleaseHold(a, CORE_SOURCE).removedHold);
    EXPECT_TRUE(table.EndDelivery(a, false));
}

// The keeper hands the buffer to a thread of its own, which releases it
// while the loop ends the delivery: exactly one of them frees it, whether
// the release leaves the free to its caller or, as the core's entry does
// while no job thread runs, frees the copy itself (a second free or a use
// after it is the sanitizers' to catch).
TEST_F(BufferHolderTableTest, AKeepersReleaseRacingTheDeliverysEndFreesExactlyOnce) {
    for (const bool releaseFrees : {false, true}) {
        for (int round = 0; round < 2000; ++round) {
            BufferHolderTable table(CaptureReport);
            CopiesFrom(table);
            table.HoldForCall(a, 1);
            ASSERT_TRUE(table.KeepAfterCall(a, 1));
            bool released = false;
            std::thread keeper([&] {
                released = releaseFrees ? table.ReleaseHoldFreeingLast(a, 1) : table.ReleaseHold(a, 1).noHolderLeft;
            });
            const bool ended = table.EndDelivery(a, true);
            if (ended) {
                table.Free(a);
            }
            keeper.join();
            ASSERT_NE(released, ended) << (releaseFrees ? "freeing" : "plain") << " release, round " << round;
        }
    }
}

// A plugin's late release of its call hold, on its own thread, while the
// loop calls the next plugin and ends: it never frees the copy under the loop.
TEST_F(BufferHolderTableTest, ALateReleaseOfACallHoldNeverFreesUnderTheLoop) {
    for (int round = 0; round < 2000; ++round) {
        BufferHolderTable table(CaptureReport);
        CopiesFrom(table);
        table.HoldForCall(a, 1);
        BufferHolderTable::Outcome outcome{};
        std::thread late([&] { outcome = table.ReleaseHold(a, 1); });
        table.HoldForCall(a, 2);
        table.HoldForCall(a, 3);
        late.join();
        ASSERT_FALSE(outcome.noHolderLeft) << "round " << round;
        ASSERT_TRUE(table.EndDelivery(a, false));
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
            table.HoldForCall(buffers[i], 0x00010000);
            table.KeepAfterCall(buffers[i], 0x00010000);
            if (i % 2 == 0) {
                table.EndDelivery(buffers[i], true);
                table.ReleaseHold(buffers[i], 0x00010000);
            } else {
                table.KeepForGood(buffers[i]);
            }
        }
    }
    std::vector<std::string> expected;
    for (std::size_t i = 1; i < buffers.size(); i += 2) {
        char line[64];
        for (const char *holder : {"80000000", "00010000"}) {
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
        DeliverKeptBy(table, high, {0x00010002});
        DeliverKeptBy(table, low, {7, 0x00010002});
        DeliverKeptBy(table, low, {7});
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
        DeliverKeptBy(table, ten, {9, 5});
        DeliverKeptBy(table, ten, {5}); // held twice: still one buffer of 5's
        DeliverKeptBy(table, twenty, {7, 5});
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
        table.HoldForCall(first, 5);
        EXPECT_TRUE(table.EndDelivery(first, false));
        table.Free(first);
        void *second = table.Copy(bytes.data(), 3);
        EXPECT_FALSE(DeliverKeptBy(table, second, {5}));
    }
    ASSERT_EQ(told.size(), 2u);
    EXPECT_EQ(told[1], "summary 5 1 3");
}

TEST(BufferHolderLeakSummary, NothingLeakedNothingSummed) {
    told.clear();
    {
        BufferHolderTable table(CaptureLine, CaptureSummary);
        void *buffer = table.Copy("x", 1);
        table.HoldForCall(buffer, 5);
        EXPECT_TRUE(table.EndDelivery(buffer, false));
    }
    EXPECT_TRUE(told.empty());
}
