#include "ipc/repeat_filter.h"

#include <cstdint>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr int64_t SECOND = 1000000000;

class RepeatFilterTest : public ::testing::Test {
protected:
    std::vector<std::pair<uint64_t, uint64_t>> ExpireAt(int64_t now) {
        std::vector<std::pair<uint64_t, uint64_t>> told;
        filter.Expire(now, [&](uint64_t key, uint64_t heldBack) { told.emplace_back(key, heldBack); });
        return told;
    }

    RepeatFilter filter{SECOND};
};

} // namespace

TEST_F(RepeatFilterTest, RepeatsWithinTheWindowAreHeldBackAndCountedAfterIt) {
    EXPECT_TRUE(filter.Admit(5, 0).print);
    for (int i = 0; i < 3; ++i) {
        const auto verdict = filter.Admit(5, SECOND / 2);
        EXPECT_FALSE(verdict.print);
        EXPECT_EQ(verdict.heldBack, 0u);
    }
    EXPECT_TRUE(ExpireAt(SECOND - 1).empty());
    EXPECT_EQ(ExpireAt(SECOND), (std::vector<std::pair<uint64_t, uint64_t>>{{5, 3}}));
    const auto verdict = filter.Admit(5, SECOND + 1);
    EXPECT_TRUE(verdict.print);
    EXPECT_EQ(verdict.heldBack, 0u);
}

// Without an expiry in between, the next line tells the count first.
TEST_F(RepeatFilterTest, NextLineAfterTheWindowCarriesTheCountHeldBack) {
    filter.Admit(5, 0);
    filter.Admit(5, 1);
    filter.Admit(5, 2);
    const auto verdict = filter.Admit(5, SECOND);
    EXPECT_TRUE(verdict.print);
    EXPECT_EQ(verdict.heldBack, 2u);
    EXPECT_FALSE(filter.Admit(5, SECOND + 1).print);
}

TEST_F(RepeatFilterTest, KeysAreFilteredApartAndQuietKeysAreForgotten) {
    EXPECT_TRUE(filter.Admit(1, 0).print);
    EXPECT_TRUE(filter.Admit(2, 0).print);
    EXPECT_FALSE(filter.Admit(1, 1).print);
    EXPECT_EQ(ExpireAt(2 * SECOND), (std::vector<std::pair<uint64_t, uint64_t>>{{1, 1}}));
    EXPECT_TRUE(ExpireAt(3 * SECOND).empty());
}

// Memory stays bounded: lines for keys beyond the table are all printed.
TEST_F(RepeatFilterTest, KeysBeyondTheTableArePrintedUntracked) {
    for (uint64_t key = 0; key < RepeatFilter::KEYS; ++key) {
        EXPECT_TRUE(filter.Admit(key, 0).print);
    }
    EXPECT_TRUE(filter.Admit(1000, 0).print);
    EXPECT_TRUE(filter.Admit(1000, 1).print);
    EXPECT_FALSE(filter.Admit(0, 1).print);
    ExpireAt(SECOND);
    EXPECT_TRUE(filter.Admit(1000, SECOND).print);
    EXPECT_FALSE(filter.Admit(1000, SECOND + 1).print);
}
