#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "dvrplugin.h"
#include "spin_lock.h"

// The head of every event data copy the core makes: the copy's holders, in
// the order their holds were added (a holder may hold twice), so that a hold
// and a release are a few steps on the copy itself rather than a lookup in a
// shared table. Where the data lies is the pool's business (SlabCopyPool puts
// it right behind the head).
//
// The delivery loop's holds are kept apart from the recorded ones, in
// `delivery`: the core's own while it delivers the copy (or keeps it for
// good), and the called plugin's for its call. The loop moves them with a
// store each, so that a plugin that does not keep the buffer costs no lock;
// a release on any thread honours them as it honours recorded holds.
//
// Threads: any; the recorded holders are guarded by the head's own lock,
// which is held for a few steps and never while anything else is called.
// `delivery` is written by the delivery loop alone, but for a release's
// exchange under the lock. The other fields belong to the pool that made
// the copy.
struct alignas(alignof(std::max_align_t)) HeldCopy {
    // Holders kept in the head itself; a copy held by more moves them all
    // to the heap. An event's usual holders are the core and one receiver.
    static constexpr std::size_t INLINE_HOLDERS = 6;
    // CopyPool's mark of a copy that lives outside its slabs.
    static constexpr uint8_t LARGE = 0xFF;

    HeldCopy(uint8_t sizeClass, uint32_t length) : sizeClass(sizeClass), length(length) {}
    HeldCopy(const HeldCopy &) = delete;
    HeldCopy &operator=(const HeldCopy &) = delete;

    // Adds the holder after all others: false, and nothing changed, when
    // more than INLINE_HOLDERS would hold at once and the heap is out of
    // memory for them.
    bool Add(uint32_t holder) REQUIRES(lock) {
        if (!overflow && count < INLINE_HOLDERS) {
            inlineHolders[count++] = holder;
            return true;
        }
        return AddBeyondInline(holder);
    }
    // Removes every recorded hold of the holder, or else its call hold:
    // whether there was one.
    bool Remove(uint32_t holder) REQUIRES(lock) {
        if (RemoveRecorded(holder)) {
            return true;
        }
        uint32_t called = holder;
        return holder != NOT_DELIVERED && holder != CORE_HOLDS &&
               delivery.compare_exchange_strong(called, CORE_HOLDS, std::memory_order_relaxed);
    }
    bool Unheld() const REQUIRES(lock) {
        return count == 0 && delivery.load(std::memory_order_relaxed) == NOT_DELIVERED;
    }
    bool AnyRecorded() const REQUIRES(lock) { return count != 0; }
    // The holders in the order their holds were added: the core's delivery
    // hold, taken first, then the recorded ones, then the called plugin's.
    template <typename Visit>
    void ForEachHolder(Visit &&visit) const REQUIRES(lock) {
        const uint32_t delivering = delivery.load(std::memory_order_relaxed);
        if (delivering != NOT_DELIVERED) {
            visit(CORE_HOLDS);
        }
        const uint32_t *first = overflow ? overflow->data() : inlineHolders;
        std::for_each(first, first + count, visit);
        if (delivering != NOT_DELIVERED && delivering != CORE_HOLDS) {
            visit(delivering);
        }
    }

    // `delivery` while the loop has no hold on the copy (no plugin has that
    // ID: it marks job control), and while the core holds it with no plugin
    // in a call (its own ID).
    static constexpr uint32_t NOT_DELIVERED = JOB_CONTROL_SOURCE;
    static constexpr uint32_t CORE_HOLDS = CORE_SOURCE;
    std::atomic<uint32_t> delivery{NOT_DELIVERED};

    SpinLock lock;
    // The pool's: the size class, or LARGE.
    const uint8_t sizeClass;
    // Set by the pool when it hands the copy out.
    uint32_t length;
    // Set by the table when it makes the copy: when, in seconds of the
    // table's clock; read only once a holder is seen under the lock.
    uint32_t madeAt = 0;
    union {
        // The pool's free list, while the copy is free.
        HeldCopy *nextFree = nullptr;
        // The event's class and type, set with madeAt while the copy is in use.
        struct {
            uint32_t eventClass;
            uint32_t eventType;
        } event;
    };

private:
    bool RemoveRecorded(uint32_t holder) REQUIRES(lock) {
        if (overflow) {
            return RemoveBeyondInline(holder);
        }
        uint32_t kept = 0;
        for (uint32_t i = 0; i < count; ++i) {
            if (inlineHolders[i] != holder) {
                inlineHolders[kept++] = inlineHolders[i];
            }
        }
        const bool removed = kept != count;
        count = kept;
        return removed;
    }
    bool AddBeyondInline(uint32_t holder) REQUIRES(lock);
    bool RemoveBeyondInline(uint32_t holder) REQUIRES(lock);

    uint32_t count GUARDED_BY(lock) = 0;
    uint32_t inlineHolders[INLINE_HOLDERS] GUARDED_BY(lock) = {};
    // All holders, once more than INLINE_HOLDERS held at once.
    std::unique_ptr<std::vector<uint32_t>> overflow GUARDED_BY(lock);
};
