#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_set>

#include "held_copy.h"

// Where event data copies live. Copies up to MAX_SLAB_DATA bytes are carved
// from slabs by size class and come back to a free list, so that making and
// freeing one is a few steps under one lock rather than a trip through
// malloc; larger ones are malloc'd and registered. Either way the pool can
// tell whether an address is the data of one of its copies without reading
// memory that is not its own, so a plugin's release of a foreign address
// is recognised and harmless.
//
// Threads: any. Locks: `lock` guards the free lists, the slabs and the
// register of large copies, for a few steps at a time but for the rare
// ReturnFreeMemory and ForEachCopy; a copy's own lock is taken inside it,
// never the other way round.
class CopyPool {
public:
    static constexpr std::size_t SLAB_BYTES = 32 * 1024;
    static constexpr std::size_t MIN_SLAB_DATA = 64;
    static constexpr std::size_t SIZE_CLASSES = 7;
    static constexpr std::size_t MAX_SLAB_DATA = MIN_SLAB_DATA << (SIZE_CLASSES - 1);

    CopyPool() = default;
    // Gives back every copy: no thread may use the pool any more.
    ~CopyPool();
    CopyPool(const CopyPool &) = delete;
    CopyPool &operator=(const CopyPool &) = delete;

    // A copy with room for length bytes and no holder; null without memory.
    HeldCopy *Allocate(std::size_t length) EXCLUDES(lock);
    // The copy must have no holder; its memory may be reused at once.
    void Free(HeldCopy *copy) EXCLUDES(lock);
    // Calls use(copy) when data is the data of a copy the pool has carved or
    // registered, held or not; the copy stays in the pool during the call.
    template <typename Use>
    void WithCopy(const void *data, Use &&use) EXCLUDES(lock);
    // Calls visit(copy) for every copy carved or registered, under the
    // pool's lock.
    void ForEachCopy(const std::function<void(HeldCopy &)> &visit) EXCLUDES(lock);
    // Frees the slabs none of whose copies is in use, after a burst: how
    // many.
    std::size_t ReturnFreeMemory() EXCLUDES(lock);

private:
    // A slab: this head, then its blocks, each a HeldCopy and its data.
    struct Slab {
        explicit Slab(uint8_t sizeClass) : sizeClass(sizeClass) {}
        const uint8_t sizeClass;
        // Blocks handed out and not freed; blocks carved so far.
        std::size_t used = 0;
        std::size_t carved = 0;
    };
    // The head rounded up, so that every block is aligned as malloc aligns.
    static constexpr std::size_t SLAB_HEAD =
        (sizeof(Slab) + alignof(HeldCopy) - 1) / alignof(HeldCopy) * alignof(HeldCopy);

    struct SizeClass {
        HeldCopy *freeList = nullptr;
        // The slab copies are carved from when the free list is empty.
        Slab *carving = nullptr;
    };

    static std::size_t ClassOf(std::size_t length);
    static std::size_t DataBytes(std::size_t sizeClass) { return MIN_SLAB_DATA << sizeClass; }
    static std::size_t BlockBytes(std::size_t sizeClass) { return sizeof(HeldCopy) + DataBytes(sizeClass); }
    static std::size_t BlocksPerSlab(std::size_t sizeClass) { return (SLAB_BYTES - SLAB_HEAD) / BlockBytes(sizeClass); }
    static Slab *SlabOf(const void *address);
    static HeldCopy *Block(Slab *slab, std::size_t index);

    HeldCopy *AllocateFromSlab(std::size_t sizeClass) REQUIRES(lock);
    HeldCopy *AllocateLarge(std::size_t length) EXCLUDES(lock);
    void FreeLarge(HeldCopy *copy) EXCLUDES(lock);
    HeldCopy *FindLocked(const void *data) REQUIRES(lock);
    void DropEmptySlabsFromFreeList(SizeClass &sizeClass) REQUIRES(lock);
    void FreeSlab(Slab *slab) REQUIRES(lock);
    static void DestroySlab(Slab *slab);

    SpinLock lock;
    std::array<SizeClass, SIZE_CLASSES> classes GUARDED_BY(lock);
    std::unordered_set<Slab *> slabs GUARDED_BY(lock);
    std::unordered_set<HeldCopy *> largeCopies GUARDED_BY(lock);
};

template <typename Use>
void CopyPool::WithCopy(const void *data, Use &&use) {
    SpinLockGuard guard(lock);
    if (HeldCopy *copy = FindLocked(data)) {
        use(*copy);
    }
}
