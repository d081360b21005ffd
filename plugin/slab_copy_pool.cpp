#include "slab_copy_pool.h"

#include <cstdint>
#include <cstdlib>
#include <new>
#include <vector>

#include <sanitizer/asan_interface.h>
#include <sys/mman.h>

#include "left_over_copies.h"

namespace {

// A slab of its own pages, aligned to its size: only the pages its copies
// touch become resident, and a freed slab goes back to the system at once.
// Twice the size is mapped so that an aligned slab lies within; the rest is
// unmapped again.
void *MapSlab() {
    constexpr std::size_t SLAB = SlabCopyPool::SLAB_BYTES;
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
void MarkFree(void *data, std::size_t bytes) { ASAN_POISON_MEMORY_REGION(data, bytes); }
void MarkInUse(void *data, std::size_t bytes) { ASAN_UNPOISON_MEMORY_REGION(data, bytes); }

} // namespace

static_assert(SlabCopyPool::SLAB_BYTES <= 32 * 1024 && SlabCopyPool::SIZE_CLASSES == 7,
              "a block's index is exact only for offsets below 32 KiB, and every class has its reciprocal");

// Nothing is freed that a plugin still holds: the library that is never
// closed may read it after the core has gone.
SlabCopyPool::~SlabCopyPool() {
    std::vector<LeftOverCopies::Range> held;
    SpinLockGuard guard(lock);
    try {
        slabs.ForEach([&](void *slab) {
            if (AnyHeld(static_cast<Slab *>(slab))) {
                held.push_back({reinterpret_cast<uintptr_t>(slab), SLAB_BYTES});
            }
        });
        for (HeldCopy *copy : largeCopies) {
            if (!IsUnheld(*copy)) {
                held.push_back({reinterpret_cast<uintptr_t>(copy), sizeof(HeldCopy) + copy->length});
            }
        }
    } catch (const std::bad_alloc &) {
        LeftOverCopies::Keep({}); // not recorded: keep everything
        return;
    }
    slabs.ForEach([](void *slab) {
        if (!AnyHeld(static_cast<Slab *>(slab))) {
            DestroySlab(static_cast<Slab *>(slab));
        }
    });
    for (HeldCopy *copy : largeCopies) {
        if (IsUnheld(*copy)) {
            copy->~HeldCopy();
            std::free(copy);
        }
    }
    LeftOverCopies::Keep(std::move(held));
}

std::size_t SlabCopyPool::ClassOf(std::size_t length) {
    std::size_t sizeClass = 0;
    while ((DataBytes(sizeClass)) < length) {
        ++sizeClass;
    }
    return sizeClass;
}

SlabCopyPool::Slab *SlabCopyPool::SlabOf(const void *address) {
    return reinterpret_cast<Slab *>(reinterpret_cast<uintptr_t>(address) & ~(SLAB_BYTES - 1));
}

HeldCopy *SlabCopyPool::Block(Slab *slab, std::size_t index) {
    char *const blocks = reinterpret_cast<char *>(slab) + SLAB_HEAD;
    return reinterpret_cast<HeldCopy *>(blocks + index * BlockBytes(slab->sizeClass));
}

void *SlabCopyPool::Allocate(std::size_t length) {
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
    MarkInUse(DataOf(copy), DataBytes(sizeClass));
    return DataOf(copy);
}

HeldCopy *SlabCopyPool::AllocateFromSlab(std::size_t sizeClass) {
    Slab *slab = classes[sizeClass].withRoom;
    if (slab == nullptr && (slab = NewSlab(sizeClass)) == nullptr) {
        return nullptr;
    }
    HeldCopy *copy = slab->freeBlocks;
    if (copy != nullptr) {
        slab->freeBlocks = copy->nextFree;
        copy->nextFree = nullptr;
    } else {
        copy = new (Block(slab, slab->carved)) HeldCopy(static_cast<uint8_t>(sizeClass), 0);
        ++slab->carved;
    }
    ++slab->used;
    if (slab->freeBlocks == nullptr && slab->carved == BlocksPerSlab(sizeClass)) {
        Unlist(slab);
    }
    return copy;
}

SlabCopyPool::Slab *SlabCopyPool::NewSlab(std::size_t sizeClass) {
    void *memory = MapSlab();
    if (memory == nullptr) {
        return nullptr;
    }
    auto *slab = new (memory) Slab(static_cast<uint8_t>(sizeClass));
    try {
        slabs.Insert(slab);
    } catch (const std::bad_alloc &) {
        munmap(memory, SLAB_BYTES);
        return nullptr;
    }
    List(slab);
    return slab;
}

void SlabCopyPool::List(Slab *slab) {
    Slab *&first = classes[slab->sizeClass].withRoom;
    slab->listed = true;
    slab->previous = nullptr;
    slab->next = first;
    if (first != nullptr) {
        first->previous = slab;
    }
    first = slab;
}

void SlabCopyPool::Unlist(Slab *slab) {
    if (slab->previous != nullptr) {
        slab->previous->next = slab->next;
    } else {
        classes[slab->sizeClass].withRoom = slab->next;
    }
    if (slab->next != nullptr) {
        slab->next->previous = slab->previous;
    }
    slab->listed = false;
    slab->previous = slab->next = nullptr;
}

// The length cannot overflow the block's size on a 32-bit system: it comes
// from a 32-bit field, but the head comes on top.
void *SlabCopyPool::AllocateLarge(std::size_t length) {
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
    return DataOf(copy);
}

void SlabCopyPool::Free(void *data) {
    HeldCopy *copy = &Head(data);
    if (copy->sizeClass == HeldCopy::LARGE) {
        FreeLarge(copy);
        return;
    }
    SpinLockGuard guard(lock);
    ReturnBlock(copy);
}

// A slab that empties stays listed and is dated: ReturnIdleSlabs decides
// when it goes.
void SlabCopyPool::ReturnBlock(HeldCopy *copy) {
    MarkFree(DataOf(copy), DataBytes(copy->sizeClass));
    Slab *slab = SlabOf(copy);
    copy->nextFree = slab->freeBlocks;
    slab->freeBlocks = copy;
    if (!slab->listed) {
        List(slab); // it was full
    }
    if (--slab->used == 0) {
        slab->emptySince = Clock();
    }
}

// Out of the register first: a plugin's release that looks for the copy
// meanwhile finds nothing rather than freed memory.
void SlabCopyPool::FreeLarge(HeldCopy *copy) {
    {
        SpinLockGuard guard(lock);
        largeCopies.erase(copy);
    }
    DestroyLarge(copy);
}

void SlabCopyPool::DestroyLarge(HeldCopy *copy) {
    copy->~HeldCopy();
    std::free(copy);
}

HeldCopy *SlabCopyPool::FindLocked(const void *data) {
    const auto address = reinterpret_cast<uintptr_t>(data);
    Slab *slab = SlabOf(data);
    if (slabs.Contains(slab)) {
        const uintptr_t firstData = reinterpret_cast<uintptr_t>(slab) + SLAB_HEAD + sizeof(HeldCopy);
        if (address < firstData) {
            return nullptr;
        }
        const std::size_t offset = address - firstData;
        const std::size_t index = BlockIndex(offset, slab->sizeClass);
        if (index * BlockBytes(slab->sizeClass) != offset || index >= slab->carved) {
            return nullptr;
        }
        return Block(slab, index);
    }
    if (address < sizeof(HeldCopy)) {
        return nullptr;
    }
    const auto found = largeCopies.find(reinterpret_cast<HeldCopy *>(address - sizeof(HeldCopy)));
    return found != largeCopies.end() ? *found : nullptr;
}

CopyAddress SlabCopyPool::Classify(const void *address) {
    SpinLockGuard guard(lock);
    if (FindLocked(address) != nullptr) {
        return CopyAddress::DATA;
    }
    if (slabs.Contains(SlabOf(address))) {
        return CopyAddress::INSIDE;
    }
    const auto at = reinterpret_cast<uintptr_t>(address);
    auto after = largeCopies.upper_bound(reinterpret_cast<HeldCopy *>(const_cast<void *>(address)));
    if (after != largeCopies.begin()) {
        HeldCopy *copy = *--after;
        if (at - reinterpret_cast<uintptr_t>(copy) < sizeof(HeldCopy) + copy->length) {
            return CopyAddress::INSIDE;
        }
    }
    return CopyAddress::FOREIGN;
}

void SlabCopyPool::ForEachCopy(const std::function<void(const void *, HeldCopy &)> &visit) {
    SpinLockGuard guard(lock);
    slabs.ForEach([&](void *each) {
        auto *slab = static_cast<Slab *>(each);
        for (std::size_t index = 0; index < slab->carved; ++index) {
            HeldCopy *copy = Block(slab, index);
            visit(DataOf(copy), *copy);
        }
    });
    for (HeldCopy *copy : largeCopies) {
        visit(DataOf(copy), *copy);
    }
}

// The empty slabs leave the lists chained through their own heads, so that
// nothing is allocated, and are unmapped once the lock is let go.
std::size_t SlabCopyPool::ReturnIdleSlabs() {
    Slab *withdrawn = nullptr;
    {
        SpinLockGuard guard(lock);
        const uint32_t now = Clock();
        for (SizeClass &kind : classes) {
            std::size_t empty = 0;
            for (Slab *slab = kind.withRoom; slab != nullptr;) {
                Slab *next = slab->next;
                if (slab->used == 0 && ++empty > EMPTY_SLABS_KEPT && now - slab->emptySince >= IDLE_SECONDS) {
                    Withdraw(slab, withdrawn);
                }
                slab = next;
            }
        }
    }
    return DestroySlabs(withdrawn);
}

std::size_t SlabCopyPool::ReturnFreeMemory() {
    Slab *withdrawn = nullptr;
    {
        SpinLockGuard guard(lock);
        for (SizeClass &kind : classes) {
            for (Slab *slab = kind.withRoom; slab != nullptr;) {
                Slab *next = slab->next;
                if (slab->used == 0) {
                    Withdraw(slab, withdrawn);
                }
                slab = next;
            }
        }
    }
    return DestroySlabs(withdrawn);
}

void SlabCopyPool::Withdraw(Slab *slab, Slab *&withdrawn) {
    Unlist(slab);
    slabs.Erase(slab);
    slab->next = withdrawn;
    withdrawn = slab;
}

std::size_t SlabCopyPool::DestroySlabs(Slab *withdrawn) {
    std::size_t destroyed = 0;
    while (withdrawn != nullptr) {
        Slab *next = withdrawn->next;
        DestroySlab(withdrawn);
        withdrawn = next;
        ++destroyed;
    }
    return destroyed;
}

bool SlabCopyPool::IsUnheld(HeldCopy &copy) {
    SpinLockGuard guard(copy.lock);
    return copy.Unheld();
}

bool SlabCopyPool::AnyHeld(Slab *slab) {
    for (std::size_t index = 0; index < slab->carved; ++index) {
        if (!IsUnheld(*Block(slab, index))) {
            return true;
        }
    }
    return false;
}

void SlabCopyPool::DestroySlab(Slab *slab) {
    for (std::size_t index = 0; index < slab->carved; ++index) {
        HeldCopy *copy = Block(slab, index);
        MarkInUse(DataOf(copy), DataBytes(slab->sizeClass));
        copy->~HeldCopy();
    }
    slab->~Slab();
    munmap(slab, SLAB_BYTES);
}
