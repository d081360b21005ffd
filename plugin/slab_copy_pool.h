#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <unordered_set>

#include "held_copy.h"

// What an address a plugin hands in is to a pool: the data of one of its
// copies, memory of its own that is no copy's data (inside a copy, or a
// head), or none of its business.
enum class CopyAddress { FOREIGN, DATA, INSIDE };

// Where event data copies live. Copies up to MAX_SLAB_DATA bytes are carved
// from slabs by size class, each block a head and the data right behind it,
// and come back to their slab's free list, so that making and freeing one is
// a few steps under one lock rather than a trip through malloc; larger ones
// are malloc'd and registered. Either way the pool can tell whether an
// address is one of its copies without reading memory that is not its own,
// so a plugin's release of a foreign address is recognised and harmless.
//
// A slab whose last copy is freed goes back to the system at once, but for
// EMPTY_SLABS_KEPT of each size class: memory that plugins gave back is the
// system's again, whatever the queue did meanwhile.
//
// Threads: any. Locks: `lock` guards the slabs, their free lists and the
// register of large copies, for a few steps at a time but for the rare
// ReturnFreeMemory and ForEachCopy; a copy's own lock is taken inside it,
// never the other way round. Slabs are unmapped outside it.
class SlabCopyPool {
public:
    static constexpr std::size_t SLAB_BYTES = 32 * 1024;
    static constexpr std::size_t MIN_SLAB_DATA = 64;
    static constexpr std::size_t SIZE_CLASSES = 7;
    static constexpr std::size_t MAX_SLAB_DATA = MIN_SLAB_DATA << (SIZE_CLASSES - 1);
    // Empty slabs kept mapped per size class, so that a class whose copies
    // come and go around a slab's edge does not map and unmap at every turn:
    // at most 7 x 32 KiB, of which only the pages copies touched are resident.
    static constexpr std::size_t EMPTY_SLABS_KEPT = 1;

    SlabCopyPool() = default;
    // Gives back every copy no one holds. Held copies stay mapped and
    // untouched, for the plugins that hold them (LeftOverCopies); no thread
    // may call the pool any more.
    ~SlabCopyPool();
    SlabCopyPool(const SlabCopyPool &) = delete;
    SlabCopyPool &operator=(const SlabCopyPool &) = delete;

    // The data of a copy with room for length bytes (at least one) and no
    // holder; null without memory.
    void *Allocate(std::size_t length) EXCLUDES(lock);
    // data must be a copy with no holder; its memory may be reused at once.
    void Free(void *data) EXCLUDES(lock);
    // The head of a copy that is alive.
    static HeldCopy &Head(const void *data) {
        return *reinterpret_cast<HeldCopy *>(const_cast<char *>(static_cast<const char *>(data)) - sizeof(HeldCopy));
    }
    // Calls use(head) when address is the data of a copy the pool has carved
    // or registered, held or not; the copy stays in the pool during the call.
    template <typename Use>
    void WithCopy(const void *address, Use &&use) EXCLUDES(lock);
    CopyAddress Classify(const void *address) EXCLUDES(lock);
    // Calls visit(data, head) for every copy carved or registered, under the
    // pool's lock.
    void ForEachCopy(const std::function<void(const void *, HeldCopy &)> &visit) EXCLUDES(lock);
    // Frees every empty slab, the kept ones too, after a burst: how many.
    std::size_t ReturnFreeMemory() EXCLUDES(lock);

private:
    // A slab: this head, then its blocks, each a HeldCopy and its data. A
    // slab with a block to hand out is listed in its class, newest first:
    // copies come from slabs in use before empty ones, so that those can go.
    struct Slab {
        explicit Slab(uint8_t sizeClass) : sizeClass(sizeClass) {}
        const uint8_t sizeClass;
        // Blocks handed out and not freed; blocks carved so far.
        uint32_t used = 0;
        uint32_t carved = 0;
        HeldCopy *freeBlocks = nullptr;
        // The list the slab is in (none while it is full), and its neighbours.
        Slab **list = nullptr;
        Slab *previous = nullptr;
        Slab *next = nullptr;
    };
    // The head rounded up, so that every block is aligned as malloc aligns.
    static constexpr std::size_t SLAB_HEAD =
        (sizeof(Slab) + alignof(HeldCopy) - 1) / alignof(HeldCopy) * alignof(HeldCopy);

    struct SizeClass {
        Slab *inUse = nullptr; // slabs with copies and room for more
        Slab *empty = nullptr;
        std::size_t emptySlabs = 0;
    };

    static std::size_t ClassOf(std::size_t length);
    static std::size_t DataBytes(std::size_t sizeClass) { return MIN_SLAB_DATA << sizeClass; }
    static std::size_t BlockBytes(std::size_t sizeClass) { return sizeof(HeldCopy) + DataBytes(sizeClass); }
    static uint32_t BlocksPerSlab(std::size_t sizeClass) {
        return static_cast<uint32_t>((SLAB_BYTES - SLAB_HEAD) / BlockBytes(sizeClass));
    }
    static Slab *SlabOf(const void *address);
    static HeldCopy *Block(Slab *slab, std::size_t index);
    static void *DataOf(HeldCopy *head) { return head + 1; }

    HeldCopy *AllocateFromSlab(std::size_t sizeClass) REQUIRES(lock);
    Slab *NewSlab(std::size_t sizeClass) REQUIRES(lock);
    // The slab to unmap once the lock is let go, or null.
    Slab *FreeToSlab(HeldCopy *copy) REQUIRES(lock);
    static void List(Slab *slab, Slab *&list);
    static void Unlist(Slab *slab);
    void *AllocateLarge(std::size_t length) EXCLUDES(lock);
    void FreeLarge(HeldCopy *copy) EXCLUDES(lock);
    HeldCopy *FindLocked(const void *data) REQUIRES(lock);
    static bool IsUnheld(HeldCopy &copy);
    static bool AnyHeld(Slab *slab);
    static void DestroySlab(Slab *slab);

    SpinLock lock;
    std::array<SizeClass, SIZE_CLASSES> classes GUARDED_BY(lock);
    std::unordered_set<Slab *> slabs GUARDED_BY(lock);
    // Ordered, so that an address inside a large copy is found as well.
    std::set<HeldCopy *> largeCopies GUARDED_BY(lock);
};

template <typename Use>
void SlabCopyPool::WithCopy(const void *address, Use &&use) {
    SpinLockGuard guard(lock);
    if (HeldCopy *copy = FindLocked(address)) {
        use(*copy);
    }
}
