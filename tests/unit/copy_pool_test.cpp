// The pools of event data copies: what they hand out, what they recognise as
// their own, the memory they give back, and what they leave behind for
// plugins that still hold copies when they go. Both pools are tested in
// every build; the core uses the exact one under AddressSanitizer.
#include "plugin/copy_pool.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/left_over_copies.h"

namespace {

template <typename Pool>
bool Recognised(Pool &pool, const void *data) {
    bool found = false;
    pool.WithCopy(data, [&](HeldCopy &) { found = true; });
    return found;
}

template <typename Pool>
void HoldAs(Pool &pool, const void *data, uint32_t holder) {
    HeldCopy &head = pool.Head(data);
    SpinLockGuard guard(head.lock);
    ASSERT_TRUE(head.Add(holder));
}

template <typename Pool>
void Unhold(Pool &pool, const void *data) {
    HeldCopy &head = pool.Head(data);
    SpinLockGuard guard(head.lock);
    head.Remove(5);
}

// Every length class, both sides of each class's edge, and beyond the slabs.
std::vector<std::size_t> Lengths() {
    std::vector<std::size_t> lengths{1, 2};
    for (std::size_t bytes = SlabCopyPool::MIN_SLAB_DATA; bytes <= SlabCopyPool::MAX_SLAB_DATA * 2; bytes *= 2) {
        lengths.insert(lengths.end(), {bytes - 1, bytes, bytes + 1});
    }
    lengths.push_back(1 << 20);
    return lengths;
}

template <typename Pool>
class CopyPools : public ::testing::Test {
protected:
    Pool pool;
};

using PoolKinds = ::testing::Types<SlabCopyPool, ExactCopyPool>;
TYPED_TEST_SUITE(CopyPools, PoolKinds);

} // namespace

TYPED_TEST(CopyPools, CopiesOfEveryLengthAreAlignedAsMallocAlignsAndKeepTheirBytes) {
    std::vector<std::pair<void *, std::size_t>> copies;
    for (const std::size_t length : Lengths()) {
        void *copy = this->pool.Allocate(length);
        ASSERT_NE(copy, nullptr) << length;
        EXPECT_EQ(this->pool.Head(copy).length, length);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(copy) % alignof(std::max_align_t), 0u) << length;
        std::memset(copy, static_cast<int>(length & 0xFF), length);
        copies.emplace_back(copy, length);
    }
    for (const auto &[copy, length] : copies) {
        const auto *bytes = static_cast<const unsigned char *>(copy);
        for (std::size_t i = 0; i < length; ++i) {
            ASSERT_EQ(bytes[i], length & 0xFF) << length << " byte " << i;
        }
        this->pool.Free(copy);
    }
}

// A plugin may hand in any address: only the start of a copy's data is one,
// and an address inside a copy is the pool's memory all the same.
TYPED_TEST(CopyPools, OnlyTheDataOfItsOwnCopiesIsRecognisedAndItsOwnMemoryIsKnown) {
    auto &pool = this->pool;
    char *small = static_cast<char *>(pool.Allocate(100));
    char *large = static_cast<char *>(pool.Allocate(SlabCopyPool::MAX_SLAB_DATA + 1));
    ASSERT_NE(small, nullptr);
    ASSERT_NE(large, nullptr);
    EXPECT_TRUE(Recognised(pool, small));
    EXPECT_TRUE(Recognised(pool, large));
    EXPECT_EQ(pool.Classify(small), CopyAddress::DATA);
    EXPECT_EQ(pool.Classify(large), CopyAddress::DATA);
    EXPECT_EQ(pool.Classify(small + 1), CopyAddress::INSIDE);
    EXPECT_EQ(pool.Classify(small + 99), CopyAddress::INSIDE);
    EXPECT_EQ(pool.Classify(large + 8), CopyAddress::INSIDE);
    EXPECT_EQ(pool.Classify(large + SlabCopyPool::MAX_SLAB_DATA), CopyAddress::INSIDE);

    const char onTheStack[8] = {};
    void *onTheHeap = std::malloc(64);
    EXPECT_FALSE(Recognised(pool, nullptr));
    EXPECT_FALSE(Recognised(pool, onTheStack));
    EXPECT_FALSE(Recognised(pool, onTheHeap));
    EXPECT_FALSE(Recognised(pool, small + 1));
    EXPECT_FALSE(Recognised(pool, large + 8));
    EXPECT_FALSE(Recognised(pool, reinterpret_cast<const void *>(uintptr_t{8})));
    EXPECT_EQ(pool.Classify(nullptr), CopyAddress::FOREIGN);
    EXPECT_EQ(pool.Classify(onTheStack), CopyAddress::FOREIGN);
    EXPECT_EQ(pool.Classify(onTheHeap), CopyAddress::FOREIGN);
    std::free(onTheHeap);

    // A freed large copy is gone and no longer recognised.
    pool.Free(small);
    pool.Free(large);
    EXPECT_FALSE(Recognised(pool, large));
    EXPECT_EQ(pool.Classify(large), CopyAddress::FOREIGN);
}

// A plugin's release that leaves the copy unheld frees it under the same
// lock; one that leaves a holder, or an address that is no copy, frees
// nothing.
TYPED_TEST(CopyPools, AReleaseFreesTheCopyOnlyWhenItLeavesItUnheld) {
    auto &pool = this->pool;
    for (const std::size_t length : {std::size_t{100}, SlabCopyPool::MAX_SLAB_DATA + 1}) {
        void *copy = pool.Allocate(length);
        ASSERT_NE(copy, nullptr);
        HoldAs(pool, copy, 5);
        EXPECT_FALSE(pool.ReleaseCopy(copy, [](HeldCopy &) { return false; })) << length;
        EXPECT_TRUE(Recognised(pool, copy)) << length;
        const char onTheStack[8] = {};
        bool asked = false;
        EXPECT_FALSE(pool.ReleaseCopy(onTheStack, [&](HeldCopy &) { return asked = true; }));
        EXPECT_FALSE(asked) << "no head is made up for a foreign address";
        EXPECT_TRUE(pool.ReleaseCopy(copy, [&](HeldCopy &head) {
            SpinLockGuard guard(head.lock);
            return head.Remove(5) && head.Unheld();
        })) << length;
    }
    void *large = pool.Allocate(SlabCopyPool::MAX_SLAB_DATA + 1);
    HoldAs(pool, large, 5);
    EXPECT_TRUE(pool.ReleaseCopy(large, [&](HeldCopy &head) {
        SpinLockGuard guard(head.lock);
        return head.Remove(5) && head.Unheld();
    }));
    EXPECT_EQ(pool.Classify(large), CopyAddress::FOREIGN) << "a freed large copy is gone";
}

// Raisers make copies, the loop frees them, a plugin's release looks one up
// and the trim runs, all at once (for the sanitizers to watch). Kept small:
// AddressSanitizer holds freed memory back, and the unit tests' process
// must stay below the memory limit that the housekeeping tests read.
TYPED_TEST(CopyPools, ThreadsMakeFindFreeAndTrimTogether) {
    auto &pool = this->pool;
    std::atomic<bool> done{false};
    std::vector<std::thread> makers;
    for (int t = 0; t < 3; ++t) {
        makers.emplace_back([&pool, t] {
            std::vector<void *> mine;
            for (int i = 0; i < 6000; ++i) {
                const std::size_t length = 1 + static_cast<std::size_t>((i * 37 + t) % 5000);
                void *copy = pool.Allocate(length);
                ASSERT_NE(copy, nullptr);
                std::memset(copy, t, length);
                mine.push_back(copy);
                if (mine.size() == 50) {
                    for (void *old : mine) {
                        ASSERT_EQ(static_cast<unsigned char *>(old)[0], t);
                        pool.Free(old);
                    }
                    mine.clear();
                }
            }
            for (void *old : mine) {
                pool.Free(old);
            }
        });
    }
    std::thread lookers([&] {
        for (unsigned round = 0; !done; ++round) {
            void *probe = pool.Allocate(100);
            pool.WithCopy(probe, [](HeldCopy &copy) {
                SpinLockGuard guard(copy.lock);
                copy.Remove(7);
            });
            pool.Classify(static_cast<char *>(probe) + 1);
            pool.Free(probe);
            if (round % 64 == 0) {
                pool.ReturnFreeMemory();
            }
        }
    });
    for (auto &maker : makers) {
        maker.join();
    }
    done = true;
    lookers.join();
}

// ---- What a pool leaves behind ----

// The library that is never closed may still read a buffer it holds after
// the core has gone: held copies stay mapped with their bytes, and are known
// as left over, so that no one passes them to free.
TYPED_TEST(CopyPools, HeldCopiesOutliveThePoolWithTheirBytesAndAreKnownAsLeftOver) {
    auto pool = std::make_unique<TypeParam>();
    char *held = static_cast<char *>(pool->Allocate(200));
    char *heldLarge = static_cast<char *>(pool->Allocate(SlabCopyPool::MAX_SLAB_DATA * 3));
    char *unheld = static_cast<char *>(pool->Allocate(SlabCopyPool::MAX_SLAB_DATA * 2));
    ASSERT_TRUE(held && heldLarge && unheld);
    std::strcpy(held, "still here");
    std::memset(heldLarge, 'L', SlabCopyPool::MAX_SLAB_DATA * 3);
    HoldAs(*pool, held, 5);
    HoldAs(*pool, heldLarge, 5);
    const char onTheStack[8] = {};

    pool.reset();

    EXPECT_STREQ(held, "still here");
    EXPECT_EQ(heldLarge[0], 'L');
    EXPECT_EQ(heldLarge[SlabCopyPool::MAX_SLAB_DATA * 3 - 1], 'L');
    EXPECT_TRUE(LeftOverCopies::Contain(held));
    EXPECT_TRUE(LeftOverCopies::Contain(held + 199));
    EXPECT_TRUE(LeftOverCopies::Contain(heldLarge + 17));
    EXPECT_FALSE(LeftOverCopies::Contain(unheld));
    EXPECT_FALSE(LeftOverCopies::Contain(onTheStack));
    EXPECT_FALSE(LeftOverCopies::Contain(nullptr));
}

TYPED_TEST(CopyPools, APoolWhoseCopiesAreAllFreeLeavesNothingBehind) {
    auto pool = std::make_unique<TypeParam>();
    char *small = static_cast<char *>(pool->Allocate(10));
    char *large = static_cast<char *>(pool->Allocate(SlabCopyPool::MAX_SLAB_DATA * 2));
    HoldAs(*pool, small, 5);
    Unhold(*pool, small);
    pool.reset();
    EXPECT_FALSE(LeftOverCopies::Contain(small));
    EXPECT_FALSE(LeftOverCopies::Contain(large));
}

// ---- The slabs' memory ----

namespace {

// The distinct slabs the copies lie in that the pool still knows.
std::set<uintptr_t> KnownSlabs(SlabCopyPool &pool, const std::vector<void *> &copies) {
    std::set<uintptr_t> slabs;
    for (void *copy : copies) {
        if (pool.Classify(copy) != CopyAddress::FOREIGN) {
            slabs.insert(reinterpret_cast<uintptr_t>(copy) & ~(SlabCopyPool::SLAB_BYTES - 1));
        }
    }
    return slabs;
}

} // namespace

TEST(SlabCopyPool, AFreedCopyIsReusedFirst) {
    SlabCopyPool pool;
    void *first = pool.Allocate(64);
    pool.Free(first);
    EXPECT_EQ(pool.Allocate(10), first) << "the slab hands out the last freed copy of the class";
    EXPECT_TRUE(pool.ReleaseCopy(first, [](HeldCopy &) { return true; }));
    EXPECT_EQ(pool.Allocate(10), first) << "as it does one a release freed";
    pool.Free(first);
}

// Copies retained for long and given back at a pace that builds no backlog:
// their slabs go back once they have been empty for a while, but for the few
// kept for reuse; before that, a new burst takes them again.
TEST(SlabCopyPool, SlabsGoBackOnceTheyHaveBeenEmptyForAWhileButForTheFewKept) {
    SlabCopyPool pool;
    pool.SetClock(100);
    std::vector<void *> retained;
    for (int i = 0; i < 5000; ++i) {
        retained.push_back(pool.Allocate(4000));
        ASSERT_NE(retained.back(), nullptr);
    }
    const std::size_t mapped = KnownSlabs(pool, retained).size();
    EXPECT_GT(mapped, 500u);
    for (void *copy : retained) {
        pool.Free(copy);
    }
    pool.SetClock(100 + SlabCopyPool::IDLE_SECONDS - 1);
    EXPECT_EQ(pool.ReturnIdleSlabs(), 0u) << "not empty for long enough";
    EXPECT_EQ(KnownSlabs(pool, retained).size(), mapped);

    pool.SetClock(100 + SlabCopyPool::IDLE_SECONDS);
    EXPECT_EQ(pool.ReturnIdleSlabs(), mapped - SlabCopyPool::EMPTY_SLABS_KEPT);
    EXPECT_EQ(KnownSlabs(pool, retained).size(), SlabCopyPool::EMPTY_SLABS_KEPT);
    pool.SetClock(1000);
    EXPECT_EQ(pool.ReturnIdleSlabs(), 0u) << "the kept slab stays however long";
    EXPECT_EQ(pool.ReturnFreeMemory(), SlabCopyPool::EMPTY_SLABS_KEPT);
    EXPECT_TRUE(KnownSlabs(pool, retained).empty());
}

TEST(SlabCopyPool, EmptiedSlabsAreTakenAgainBeforeNewOnesAreMapped) {
    SlabCopyPool pool;
    std::vector<void *> burst;
    for (int i = 0; i < 2000; ++i) {
        burst.push_back(pool.Allocate(64));
    }
    const std::set<uintptr_t> slabs = KnownSlabs(pool, burst);
    for (void *copy : burst) {
        pool.Free(copy);
    }
    std::vector<void *> again;
    for (int i = 0; i < 2000; ++i) {
        again.push_back(pool.Allocate(64));
    }
    EXPECT_EQ(KnownSlabs(pool, again), slabs);
    for (void *copy : again) {
        pool.Free(copy);
    }
}

TEST(SlabCopyPool, ACopyInUseKeepsItsSlabThroughEveryReturn) {
    SlabCopyPool pool;
    void *kept = pool.Allocate(64);
    std::vector<void *> burst;
    for (int i = 0; i < 5000; ++i) {
        burst.push_back(pool.Allocate(64));
    }
    for (void *copy : burst) {
        pool.Free(copy);
    }
    pool.SetClock(1000);
    pool.ReturnIdleSlabs();
    pool.ReturnFreeMemory();
    std::memcpy(kept, "kept", 5);
    EXPECT_TRUE(Recognised(pool, kept));
    EXPECT_STREQ(static_cast<const char *>(kept), "kept");
    pool.Free(kept);
}

// ---- The holders in a copy's head ----

namespace {

std::vector<uint32_t> HoldersOf(HeldCopy &copy) {
    std::vector<uint32_t> holders;
    SpinLockGuard guard(copy.lock);
    copy.ForEachHolder([&](uint32_t holder) { holders.push_back(holder); });
    return holders;
}

} // namespace

TEST(HeldCopy, HoldersBeyondTheHeadKeepTheirOrderAndComeBackWhenFewAreLeft) {
    SlabCopyPool pool;
    void *data = pool.Allocate(8);
    HeldCopy &copy = pool.Head(data);
    std::vector<uint32_t> expected;
    {
        SpinLockGuard guard(copy.lock);
        for (uint32_t holder = 1; holder <= HeldCopy::INLINE_HOLDERS + 3; ++holder) {
            EXPECT_TRUE(copy.Add(holder));
            EXPECT_TRUE(copy.Add(holder % 2)); // 0 and 1 hold many times
        }
    }
    for (uint32_t holder = 1; holder <= HeldCopy::INLINE_HOLDERS + 3; ++holder) {
        expected.insert(expected.end(), {holder, holder % 2});
    }
    EXPECT_EQ(HoldersOf(copy), expected);
    {
        SpinLockGuard guard(copy.lock);
        EXPECT_TRUE(copy.Remove(0));
        EXPECT_TRUE(copy.Remove(1));
        EXPECT_FALSE(copy.Remove(0));
        EXPECT_TRUE(copy.Remove(2));
    }
    expected.clear();
    for (uint32_t holder = 3; holder <= HeldCopy::INLINE_HOLDERS + 3; ++holder) {
        expected.push_back(holder);
    }
    EXPECT_EQ(HoldersOf(copy), expected);
    {
        SpinLockGuard guard(copy.lock);
        for (uint32_t holder = 3; holder <= HeldCopy::INLINE_HOLDERS + 3; ++holder) {
            EXPECT_TRUE(copy.Remove(holder));
        }
        EXPECT_TRUE(copy.Unheld());
    }
    pool.Free(data);
}
