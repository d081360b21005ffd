#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "held_copy.h"
#include "slab_copy_pool.h"

// Event data copies for builds that look for memory errors: each copy's
// data is a malloc of exactly its length and its head lives apart, so that
// AddressSanitizer catches a plugin that reads past a delivered buffer,
// writes just before it or uses it after its release, as it would with any
// malloc'd buffer. Slower than the slabs: every step looks the head up.
//
// Threads: any. Locks: `lock` guards the register of copies; a copy's own
// lock is taken inside it, never the other way round.
class ExactCopyPool {
public:
    ExactCopyPool() = default;
    // Frees every copy no one holds; held copies stay (LeftOverCopies).
    ~ExactCopyPool();
    ExactCopyPool(const ExactCopyPool &) = delete;
    ExactCopyPool &operator=(const ExactCopyPool &) = delete;

    void *Allocate(std::size_t length) EXCLUDES(lock);
    void Free(void *data) EXCLUDES(lock);
    HeldCopy &Head(const void *data) EXCLUDES(lock);
    template <typename Use>
    void WithCopy(const void *address, Use &&use) EXCLUDES(lock);
    template <typename Release>
    bool ReleaseCopy(const void *address, Release &&release) EXCLUDES(lock);
    CopyAddress Classify(const void *address) EXCLUDES(lock);
    void ForEachCopy(const std::function<void(const void *, HeldCopy &)> &visit) EXCLUDES(lock);
    void SetClock(uint32_t seconds) { clockSeconds.store(seconds, std::memory_order_relaxed); }
    uint32_t Clock() const { return clockSeconds.load(std::memory_order_relaxed); }
    // Freed copies go back to the allocator at once: nothing waits here.
    std::size_t ReturnIdleSlabs() { return 0; }
    std::size_t ReturnFreeMemory() { return 0; }

private:
    HeldCopy *FindLocked(const void *data) REQUIRES(lock);

    std::atomic<uint32_t> clockSeconds{0};

    SpinLock lock;
    // By the address of each copy's data.
    std::map<uintptr_t, std::unique_ptr<HeldCopy>> copies GUARDED_BY(lock);
};

template <typename Use>
void ExactCopyPool::WithCopy(const void *address, Use &&use) {
    SpinLockGuard guard(lock);
    if (HeldCopy *copy = FindLocked(address)) {
        use(*copy);
    }
}

template <typename Release>
bool ExactCopyPool::ReleaseCopy(const void *address, Release &&release) {
    std::unique_ptr<HeldCopy> head;
    {
        SpinLockGuard guard(lock);
        const auto found = copies.find(reinterpret_cast<uintptr_t>(address));
        if (found == copies.end() || !release(*found->second)) {
            return false;
        }
        head = std::move(found->second);
        copies.erase(found);
    }
    std::free(const_cast<void *>(address));
    return true;
}
