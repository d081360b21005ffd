// The pool's set of slab addresses against a standard set: through growth,
// and through erasures in clusters that share home slots, where an entry
// moved back wrongly would no longer be found.
#include "plugin/aligned_address_set.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr unsigned BITS = 15;

const void *Aligned(uintptr_t n) { return reinterpret_cast<const void *>((n + 1) << BITS); }

void ExpectSame(const AlignedAddressSet<BITS> &set, const std::set<const void *> &expected, uintptr_t range) {
    ASSERT_EQ(set.Size(), expected.size());
    for (uintptr_t n = 0; n < range; ++n) {
        ASSERT_EQ(set.Contains(Aligned(n)), expected.count(Aligned(n)) != 0) << n;
    }
    std::set<const void *> visited;
    set.ForEach([&](void *address) { visited.insert(address); });
    ASSERT_EQ(visited, expected);
}

} // namespace

TEST(AlignedAddressSet, NullAndAnEmptySetHoldNothing) {
    AlignedAddressSet<BITS> set;
    EXPECT_FALSE(set.Contains(Aligned(0)));
    set.Erase(Aligned(0));
    EXPECT_EQ(set.Size(), 0u);
    set.Insert(Aligned(0));
    EXPECT_FALSE(set.Contains(nullptr)) << "null marks a free slot";
    set.Erase(nullptr);
    EXPECT_TRUE(set.Contains(Aligned(0)));
}

TEST(AlignedAddressSet, AgreesWithAStandardSetThroughGrowthAndErasure) {
    AlignedAddressSet<BITS> set;
    std::set<const void *> expected;
    std::mt19937 random(7);
    constexpr uintptr_t RANGE = 600;
    for (int step = 0; step < 20000; ++step) {
        const void *address = Aligned(random() % RANGE);
        if (expected.count(address) != 0) {
            set.Erase(address);
            expected.erase(address);
        } else if (random() % 3 != 0) {
            set.Insert(address);
            expected.insert(address);
        }
        if (step % 1000 == 0) {
            ExpectSame(set, expected, RANGE);
        }
    }
    ExpectSame(set, expected, RANGE);
}

// Consecutive slabs, as the system maps them, all in and then out in an
// order that breaks every run of neighbours.
TEST(AlignedAddressSet, ConsecutiveAddressesComeAndGoInAnyOrder) {
    AlignedAddressSet<BITS> set;
    std::set<const void *> expected;
    std::vector<uintptr_t> order;
    for (uintptr_t n = 0; n < 300; ++n) {
        set.Insert(Aligned(n));
        expected.insert(Aligned(n));
        order.push_back(n);
    }
    std::shuffle(order.begin(), order.end(), std::mt19937(11));
    for (std::size_t i = 0; i < order.size(); ++i) {
        set.Erase(Aligned(order[i]));
        expected.erase(Aligned(order[i]));
        if (i % 50 == 0) {
            ExpectSame(set, expected, 300);
        }
    }
    ExpectSame(set, expected, 300);
}
