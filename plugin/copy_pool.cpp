#include "copy_pool.h"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include <sanitizer/asan_interface.h>
#include <sys/mman.h>

namespace {

// A slab of its own pages, aligned to its size: only the pages its copies
// touch become resident, and a freed slab goes back to the system at once.
// Twice the size is mapped so that an aligned slab lies within; the rest is
// unmapped again.
void *MapSlab() {
    constexpr std::size_t SLAB = CopyPool::SLAB_BYTES;
    void *area = mmap(nullptr, 2 * SLAB, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) {
        return nullptr;
    }
    const auto start = reinterpret_cast<uintptr_t>(area);
    const uintptr_t slab = (start + SLAB - 1) & ~(SLAB - 1);
    if (slab > start) {
        munmap(area, slab - start);
    }
    if (start + 2 * SLAB > slab + SLAB) {
        munmap(reinterpret_cast<void *>(slab + SLAB), start + SLAB - slab);
    }
    return reinterpret_cast<void *>(slab);
}

// A free copy's data is poisoned under AddressSanitizer, so that a plugin
// reading a buffer after its release is caught as it would be after free.
void MarkFree(HeldCopy &copy, std::size_t bytes) { ASAN_POISON_MEMORY_REGION(copy.Data(), bytes); }
void MarkInUse(HeldCopy &copy, std::size_t bytes) { ASAN_UNPOISON_MEMORY_REGION(copy.Data(), bytes); }

} // namespace

static_assert((CopyPool::SLAB_BYTES & (CopyPool::SLAB_BYTES - 1)) == 0, "slabs are found by masking an address");

CopyPool::~CopyPool() {
    SpinLockGuard guard(lock);
    for (Slab *slab : slabs) {
        DestroySlab(slab);
    }
    for (HeldCopy *copy : largeCopies) {
        copy->~HeldCopy();
        std::free(copy);
    }
}

std::size_t CopyPool::ClassOf(std::size_t length) {
    std::size_t sizeClass = 0;
    while ((DataBytes(sizeClass)) < length) {
        ++sizeClass;
    }
    return sizeClass;
}

CopyPool::Slab *CopyPool::SlabOf(const void *address) {
    return reinterpret_cast<Slab *>(reinterpret_cast<uintptr_t>(address) & ~(SLAB_BYTES - 1));
}

HeldCopy *CopyPool::Block(Slab *slab, std::size_t index) {
    char *const blocks = reinterpret_cast<char *>(slab) + SLAB_HEAD;
    return reinterpret_cast<HeldCopy *>(blocks + index * BlockBytes(slab->sizeClass));
}

HeldCopy *CopyPool::Allocate(std::size_t length) {
    if (length > MAX_SLAB_DATA) {
        return AllocateLarge(length);
    }
    const std::size_t sizeClass = ClassOf(length);
    HeldCopy *copy = nullptr;
    {
        SpinLockGuard guard(lock);
        copy = AllocateFromSlab(sizeClass);
        if (copy == nullptr) {
            return nullptr;
        }
        copy->length = static_cast<uint32_t>(length);
    }
    MarkInUse(*copy, DataBytes(sizeClass));
    return copy;
}

HeldCopy *CopyPool::AllocateFromSlab(std::size_t sizeClass) {
    SizeClass &free = classes[sizeClass];
    if (HeldCopy *copy = free.freeList) {
        free.freeList = copy->nextFree;
        copy->nextFree = nullptr;
        ++SlabOf(copy)->used;
        return copy;
    }
    if (free.carving == nullptr || free.carving->carved == BlocksPerSlab(sizeClass)) {
        void *memory = MapSlab();
        if (memory == nullptr) {
            return nullptr;
        }
        auto *slab = new (memory) Slab(static_cast<uint8_t>(sizeClass));
        try {
            slabs.insert(slab);
        } catch (const std::bad_alloc &) {
            munmap(memory, SLAB_BYTES);
            return nullptr;
        }
        free.carving = slab;
    }
    Slab *slab = free.carving;
    HeldCopy *copy = new (Block(slab, slab->carved)) HeldCopy(static_cast<uint8_t>(sizeClass), 0);
    ++slab->carved;
    ++slab->used;
    return copy;
}

// The length cannot overflow the block's size on a 32-bit system: it comes
// from a 32-bit field, but the head comes on top.
HeldCopy *CopyPool::AllocateLarge(std::size_t length) {
    if (length > UINT32_MAX || length > SIZE_MAX - sizeof(HeldCopy)) {
        return nullptr;
    }
    void *memory = std::malloc(sizeof(HeldCopy) + length);
    if (memory == nullptr) {
        return nullptr;
    }
    auto *copy = new (memory) HeldCopy(HeldCopy::LARGE, static_cast<uint32_t>(length));
    try {
        SpinLockGuard guard(lock);
        largeCopies.insert(copy);
    } catch (const std::bad_alloc &) {
        copy->~HeldCopy();
        std::free(memory);
        return nullptr;
    }
    return copy;
}

void CopyPool::Free(HeldCopy *copy) {
    if (copy->sizeClass == HeldCopy::LARGE) {
        FreeLarge(copy);
        return;
    }
    MarkFree(*copy, DataBytes(copy->sizeClass));
    SpinLockGuard guard(lock);
    SizeClass &free = classes[copy->sizeClass];
    copy->nextFree = free.freeList;
    free.freeList = copy;
    --SlabOf(copy)->used;
}

// Out of the register first: a plugin's release that looks for the copy
// meanwhile finds nothing rather than freed memory.
void CopyPool::FreeLarge(HeldCopy *copy) {
    {
        SpinLockGuard guard(lock);
        largeCopies.erase(copy);
    }
    copy->~HeldCopy();
    std::free(copy);
}

HeldCopy *CopyPool::FindLocked(const void *data) {
    const auto address = reinterpret_cast<uintptr_t>(data);
    Slab *slab = SlabOf(data);
    if (slabs.count(slab) != 0) {
        const uintptr_t firstData = reinterpret_cast<uintptr_t>(slab) + SLAB_HEAD + sizeof(HeldCopy);
        const std::size_t blockBytes = BlockBytes(slab->sizeClass);
        if (address < firstData || (address - firstData) % blockBytes != 0 ||
            (address - firstData) / blockBytes >= slab->carved) {
            return nullptr;
        }
        return Block(slab, (address - firstData) / blockBytes);
    }
    if (address < sizeof(HeldCopy)) {
        return nullptr;
    }
    const auto found = largeCopies.find(reinterpret_cast<HeldCopy *>(address - sizeof(HeldCopy)));
    return found != largeCopies.end() ? *found : nullptr;
}

void CopyPool::ForEachCopy(const std::function<void(HeldCopy &)> &visit) {
    SpinLockGuard guard(lock);
    for (Slab *slab : slabs) {
        for (std::size_t index = 0; index < slab->carved; ++index) {
            visit(*Block(slab, index));
        }
    }
    for (HeldCopy *copy : largeCopies) {
        visit(*copy);
    }
}

// The free lists lose the copies of empty slabs first; trimming is rare and
// walks them whole.
std::size_t CopyPool::ReturnFreeMemory() {
    SpinLockGuard guard(lock);
    for (SizeClass &free : classes) {
        DropEmptySlabsFromFreeList(free);
    }
    std::vector<Slab *> empty;
    try {
        for (Slab *slab : slabs) {
            if (slab->used == 0) {
                empty.push_back(slab);
            }
        }
    } catch (const std::bad_alloc &) {
        // The slabs found so far are enough for now.
    }
    for (Slab *slab : empty) {
        FreeSlab(slab);
    }
    return empty.size();
}

void CopyPool::DropEmptySlabsFromFreeList(SizeClass &free) {
    HeldCopy **link = &free.freeList;
    while (HeldCopy *copy = *link) {
        if (SlabOf(copy)->used == 0) {
            *link = copy->nextFree;
        } else {
            link = &copy->nextFree;
        }
    }
}

void CopyPool::FreeSlab(Slab *slab) {
    SizeClass &free = classes[slab->sizeClass];
    if (free.carving == slab) {
        free.carving = nullptr;
    }
    slabs.erase(slab);
    DestroySlab(slab);
}

void CopyPool::DestroySlab(Slab *slab) {
    for (std::size_t index = 0; index < slab->carved; ++index) {
        HeldCopy *copy = Block(slab, index);
        MarkInUse(*copy, DataBytes(slab->sizeClass));
        copy->~HeldCopy();
    }
    slab->~Slab();
    munmap(slab, SLAB_BYTES);
}
