#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "held_copy.h"
#include "spin_lock.h"

// A chain of free copy blocks, linked through their heads' nextFree.
//
// Threads: as its owner guards it.
class BlockChain {
public:
    bool Empty() const { return count == 0; }
    uint32_t Count() const { return count; }

    void Push(HeldCopy *block) {
        block->nextFree = first;
        first = block;
        ++count;
    }
    // The chain must not be empty.
    HeldCopy *Pop() {
        HeldCopy *block = first;
        first = block->nextFree;
        block->nextFree = nullptr;
        --count;
        return block;
    }
    // Takes the first `blocks` (at most Count()) off as a chain of their own.
    BlockChain Split(uint32_t blocks) {
        BlockChain taken;
        while (taken.count < blocks) {
            HeldCopy *block = Pop();
            block->nextFree = taken.first;
            taken.first = block;
            ++taken.count;
        }
        return taken;
    }
    // Moves every block of `other` to this chain.
    void Take(BlockChain &other) {
        if (Empty()) {
            *this = other.TakeAll();
            return;
        }
        while (!other.Empty()) {
            Push(other.Pop());
        }
    }
    // Takes the whole chain, leaving this one empty.
    BlockChain TakeAll() {
        BlockChain taken = *this;
        first = nullptr;
        count = 0;
        return taken;
    }

private:
    HeldCopy *first = nullptr;
    uint32_t count = 0;
};

// Free blocks of every size class kept for the threads that map to this
// cache (SlabCopyPool::CacheOfThisThread), so that a raiser or the delivery
// loop takes the pool's lock once per batch of blocks rather than once per
// copy. Its own lock is taken by those threads alone, but for the pool's
// drain once a clock second, so it stays in their processor's cache; a
// cache line of its own keeps it from sharing one with another's.
//
// Threads: any. Locks: `lock`, held for a few steps, never with the pool's.
template <std::size_t SIZE_CLASSES>
struct alignas(64) CopyBlockCache {
    SpinLock lock;
    std::array<BlockChain, SIZE_CLASSES> chains GUARDED_BY(lock);
};
