// The pool of event data copies: what it hands out, what it recognises as
// its own, and what it gives back after a burst.
#include "plugin/copy_pool.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

bool Recognised(CopyPool &pool, const void *data) {
    bool found = false;
    pool.WithCopy(data, [&](HeldCopy &) { found = true; });
    return found;
}

// Every length class, both sides of each class's edge, and beyond the slabs.
std::vector<std::size_t> Lengths() {
    std::vector<std::size_t> lengths{1, 2};
    for (std::size_t bytes = CopyPool::MIN_SLAB_DATA; bytes <= CopyPool::MAX_SLAB_DATA * 2; bytes *= 2) {
        lengths.insert(lengths.end(), {bytes - 1, bytes, bytes + 1});
    }
    lengths.push_back(1 << 20);
    return lengths;
}

} // namespace

TEST(CopyPool, CopiesOfEveryLengthAreAlignedAsMallocAlignsAndKeepTheirBytes) {
    CopyPool pool;
    std::vector<HeldCopy *> copies;
    for (const std::size_t length : Lengths()) {
        HeldCopy *copy = pool.Allocate(length);
        ASSERT_NE(copy, nullptr) << length;
        EXPECT_EQ(copy->length, length);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(copy->Data()) % alignof(std::max_align_t), 0u) << length;
        std::memset(copy->Data(), static_cast<int>(length & 0xFF), length);
        copies.push_back(copy);
    }
    for (HeldCopy *copy : copies) {
        const auto *bytes = static_cast<const unsigned char *>(copy->Data());
        for (std::size_t i = 0; i < copy->length; ++i) {
            ASSERT_EQ(bytes[i], copy->length & 0xFF) << copy->length << " byte " << i;
        }
        EXPECT_EQ(HeldCopy::Of(copy->Data()), copy);
        pool.Free(copy);
    }
}

// A plugin may hand in any address: only the start of a copy's data is one.
TEST(CopyPool, OnlyTheDataOfItsOwnCopiesIsRecognised) {
    CopyPool pool;
    HeldCopy *small = pool.Allocate(100);
    HeldCopy *large = pool.Allocate(CopyPool::MAX_SLAB_DATA + 1);
    ASSERT_NE(small, nullptr);
    ASSERT_NE(large, nullptr);
    EXPECT_TRUE(Recognised(pool, small->Data()));
    EXPECT_TRUE(Recognised(pool, large->Data()));

    const char onTheStack[8] = {};
    void *onTheHeap = std::malloc(64);
    EXPECT_FALSE(Recognised(pool, nullptr));
    EXPECT_FALSE(Recognised(pool, onTheStack));
    EXPECT_FALSE(Recognised(pool, onTheHeap));
    EXPECT_FALSE(Recognised(pool, static_cast<char *>(small->Data()) + 1));
    EXPECT_FALSE(Recognised(pool, static_cast<char *>(large->Data()) + 8));
    EXPECT_FALSE(Recognised(pool, small));
    EXPECT_FALSE(Recognised(pool, reinterpret_cast<const void *>(uintptr_t{8})));
    std::free(onTheHeap);

    // A freed small copy stays the pool's memory, unheld; a freed large one
    // is gone and no longer recognised.
    void *smallData = small->Data();
    void *largeData = large->Data();
    pool.Free(small);
    pool.Free(large);
    EXPECT_TRUE(Recognised(pool, smallData));
    EXPECT_FALSE(Recognised(pool, largeData));
}

TEST(CopyPool, AFreedCopyIsReusedAndABurstsSlabsAreGivenBack) {
    CopyPool pool;
    HeldCopy *first = pool.Allocate(64);
    pool.Free(first);
    EXPECT_EQ(pool.Allocate(10), first) << "the free list hands out the last freed copy of the class";

    std::vector<HeldCopy *> burst;
    for (int i = 0; i < 5000; ++i) {
        burst.push_back(pool.Allocate(64));
        ASSERT_NE(burst.back(), nullptr);
    }
    for (HeldCopy *copy : burst) {
        pool.Free(copy);
    }
    EXPECT_GT(pool.ReturnFreeMemory(), 10u);
    EXPECT_EQ(pool.ReturnFreeMemory(), 0u);
    // The copy still in use keeps its slab, its bytes and its recognition.
    std::memcpy(first->Data(), "kept", 5);
    EXPECT_TRUE(Recognised(pool, first->Data()));
    EXPECT_STREQ(static_cast<const char *>(first->Data()), "kept");
    pool.Free(first);
    EXPECT_EQ(pool.ReturnFreeMemory(), 1u);
    // After the trim the pool starts again from nothing.
    HeldCopy *again = pool.Allocate(64);
    ASSERT_NE(again, nullptr);
    EXPECT_TRUE(Recognised(pool, again->Data()));
    pool.Free(again);
}

// Raisers make copies, the loop frees them, a plugin's release looks one up
// and the trim runs, all at once (for the sanitizers to watch).
TEST(CopyPool, ThreadsMakeFindFreeAndTrimTogether) {
    CopyPool pool;
    std::atomic<bool> done{false};
    std::vector<std::thread> makers;
    for (int t = 0; t < 3; ++t) {
        makers.emplace_back([&pool, t] {
            std::vector<HeldCopy *> mine;
            for (int i = 0; i < 20000; ++i) {
                const std::size_t length = 1 + static_cast<std::size_t>((i * 37 + t) % 5000);
                HeldCopy *copy = pool.Allocate(length);
                ASSERT_NE(copy, nullptr);
                std::memset(copy->Data(), t, length);
                mine.push_back(copy);
                if (mine.size() == 50) {
                    for (HeldCopy *old : mine) {
                        ASSERT_EQ(static_cast<unsigned char *>(old->Data())[0], t);
                        pool.Free(old);
                    }
                    mine.clear();
                }
            }
            for (HeldCopy *old : mine) {
                pool.Free(old);
            }
        });
    }
    // The trim runs now and then, as after a burst; it holds the pool's lock
    // for a walk of the free lists.
    std::thread lookers([&] {
        for (unsigned round = 0; !done; ++round) {
            HeldCopy *probe = pool.Allocate(100);
            pool.WithCopy(probe->Data(), [](HeldCopy &copy) {
                SpinLockGuard guard(copy.lock);
                copy.Remove(7);
            });
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

// ---- the holders in a copy's head ----

namespace {

std::vector<uint32_t> HoldersOf(HeldCopy &copy) {
    std::vector<uint32_t> holders;
    SpinLockGuard guard(copy.lock);
    copy.ForEachHolder([&](uint32_t holder) { holders.push_back(holder); });
    return holders;
}

} // namespace

TEST(HeldCopy, HoldersBeyondTheHeadKeepTheirOrderAndComeBackWhenFewAreLeft) {
    CopyPool pool;
    HeldCopy &copy = *pool.Allocate(8);
    std::vector<uint32_t> expected;
    {
        SpinLockGuard guard(copy.lock);
        for (uint32_t holder = 1; holder <= HeldCopy::INLINE_HOLDERS + 3; ++holder) {
            copy.Add(holder);
            copy.Add(holder % 2); // 0 and 1 hold many times
        }
    }
    for (uint32_t holder = 1; holder <= HeldCopy::INLINE_HOLDERS + 3; ++holder) {
        expected.insert(expected.end(), {holder, holder % 2});
    }
    EXPECT_EQ(HoldersOf(copy), expected);
    {
        SpinLockGuard guard(copy.lock);
        EXPECT_TRUE(copy.Remove(0, 1));
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
    pool.Free(&copy);
}
