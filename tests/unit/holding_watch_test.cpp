// The watch for plugins that hold many event copies, or many bytes, for
// long: who is told, when, with the oldest hold, and how often.
#include "plugin/holding_watch.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

int32_t NoLines(_EventParmsIn *, _EventParmsOut *) { return 0; }

class HoldingWatchTest : public ::testing::Test {
protected:
    ~HoldingWatchTest() override {
        for (const auto &[copy, holder] : held) {
            if (holder == CORE_SOURCE) {
                table.EndDelivery(copy, false);
            } else {
                table.ReleaseHold(copy, holder);
            }
            table.Free(copy);
        }
    }

    // `count` copies of `length` bytes, held by `holder`, made at `madeAt`:
    // kept by a plugin, or by the core for good.
    void Hold(uint32_t holder, std::size_t count, std::size_t length, uint32_t madeAt, uint32_t eventClass = 0x2,
              uint32_t eventType = 0x20) {
        table.AdvanceClock(madeAt);
        const std::string bytes(length, 'h');
        for (std::size_t i = 0; i < count; ++i) {
            void *copy = table.Copy(bytes.data(), length, eventClass, eventType);
            ASSERT_NE(copy, nullptr);
            if (holder == CORE_SOURCE) {
                table.KeepForGood(copy);
            } else {
                table.HoldForCall(copy, holder);
                ASSERT_TRUE(table.KeepAfterCall(copy, holder));
                ASSERT_FALSE(table.EndDelivery(copy, true));
            }
            held.emplace_back(copy, holder);
        }
    }
    std::vector<HoldingWatch::Holdings> Check(uint32_t now) {
        std::vector<HoldingWatch::Holdings> told;
        watch.Check(table, now, [&](const HoldingWatch::Holdings &holdings) { told.push_back(holdings); });
        return told;
    }

    BufferHolderTable table{NoLines};
    HoldingWatch watch;
    std::vector<std::pair<void *, uint32_t>> held;
};

} // namespace

TEST_F(HoldingWatchTest, APluginHoldingTooManyBuffersForTooLongIsToldWithItsOldestHold) {
    Hold(5, 1, 10, 100, 0x4, 0x1000010); // the oldest
    Hold(5, HoldingWatch::BUFFERS, 10, 110);
    Hold(7, HoldingWatch::BUFFERS, 10, 110); // one short of the limit
    EXPECT_TRUE(Check(110 + HoldingWatch::AGE_SECONDS).empty()) << "not yet held for long enough";

    const auto told = Check(111 + HoldingWatch::AGE_SECONDS);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].holder, 5u);
    EXPECT_EQ(told[0].buffers, HoldingWatch::BUFFERS + 1);
    EXPECT_EQ(told[0].bytes, 10 * (HoldingWatch::BUFFERS + 1));
    EXPECT_EQ(told[0].oldestMadeAt, 100u);
    EXPECT_EQ(told[0].oldestClass, 0x4u);
    EXPECT_EQ(told[0].oldestType, 0x1000010u);
}

TEST_F(HoldingWatchTest, APluginHoldingTooManyBytesIsToldAndTheCoresOwnHoldsAreNoPlugins) {
    Hold(9, 3, HoldingWatch::BYTES / 3 + 1, 0);
    Hold(CORE_SOURCE, HoldingWatch::BUFFERS + 1, 10, 0);
    const auto told = Check(HoldingWatch::AGE_SECONDS + 1);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].holder, 9u);
    EXPECT_EQ(told[0].buffers, 3u);
}

TEST_F(HoldingWatchTest, APluginIsToldAtMostOnceInItsRepeatTime) {
    Hold(5, HoldingWatch::BUFFERS + 1, 10, 0);
    const uint32_t first = HoldingWatch::AGE_SECONDS + 1;
    EXPECT_EQ(Check(first).size(), 1u);
    EXPECT_TRUE(Check(first + 10).empty());
    EXPECT_TRUE(Check(first + HoldingWatch::REPEAT_SECONDS - 1).empty());
    EXPECT_EQ(Check(first + HoldingWatch::REPEAT_SECONDS).size(), 1u);
}
