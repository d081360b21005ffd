#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "copy_pool.h"
#include "dvrplugin.h"
#include "left_over_copies.h"

// The core's copies of event data, and who still holds each one, so that
// the last holder to let go frees it. Holders are plugin IDs or CORE_SOURCE.
// The table frees a copy only when told to (Free); it never decides that by
// itself.
//
// The delivery loop's steps (HoldForCall, KeepAfterCall, EndDelivery,
// KeepForGood) and Free take the address of a copy the table made and that
// has not been freed: they work on the copy's head at once. ReleaseHold,
// Classify and HeldLength take any address, as plugins hand it in.
//
// Holds beyond the few a copy's head keeps need memory: a hold that cannot
// be recorded for want of it is refused (false), never thrown.
//
// Threads: any. Locks: each copy's own lock, held for single steps, and the
// pool's (CopyPool); nothing outside is called with either held. The
// destructor reports what is left, when no thread uses the table any more.
class BufferHolderTable {
public:
    // Told after the leak lines, once per holder that still holds buffers, in
    // ascending order of holders: how many buffers and how many bytes.
    using LeakSummary = std::function<void(uint32_t holder, std::size_t buffers, uint64_t bytes)>;

    // leakReport raises the leak lines at destruction (FlatPluginEvent in the
    // core); summary, when given, follows them.
    explicit BufferHolderTable(EventEntryPoint leakReport, LeakSummary summary = {});
    ~BufferHolderTable();
    BufferHolderTable(const BufferHolderTable &) = delete;
    BufferHolderTable &operator=(const BufferHolderTable &) = delete;

    // A copy of length bytes (at least one) of an event of that class and
    // type, with no holder; null when there is no memory for it.
    void *Copy(const void *data, std::size_t length, uint32_t eventClass = 0, uint32_t eventType = 0);
    // Gives back a copy that no one holds; its address may be reused at once.
    // Null, an event without data, is ignored.
    void Free(void *copy);

    // The delivery loop's holds. Before each plugin's call with the copy:
    // the core holds it, and the plugin for its call (the previous plugin's
    // call hold ends here). A store: no lock.
    void HoldForCall(const void *copy, uint32_t plugin);
    // After the call of a plugin that kept the copy: its call hold becomes a
    // recorded hold, unless it released the copy meanwhile. False when the
    // hold cannot be recorded for want of memory.
    bool KeepAfterCall(const void *copy, uint32_t plugin);
    // The end of the copy's delivery: the core's hold and the last call hold
    // end. True when no holder is left and the copy is the caller's to free.
    // anyKept: whether KeepAfterCall was called for it; without, no hold can
    // be recorded and no lock is taken.
    bool EndDelivery(const void *copy, bool anyKept);
    // The end of a delivery after which the core keeps its hold until it
    // stops: nothing frees the copy.
    void KeepForGood(const void *copy);
    // A release for a holder that may not hold the buffer at all, of an address
    // that may be no copy's, as one step: whether a hold of the holder was
    // removed, and whether any holder is left.
    struct Outcome {
        bool removedHold;
        bool noHolderLeft;
    };
    Outcome ReleaseHold(const void *address, uint32_t holder);
    // ReleaseHold, and Free when the release removed a hold and left none,
    // in one step: for a caller with nothing to do between the two (no
    // thread can be waiting for the copy). Whether the copy was freed.
    bool ReleaseHoldFreeingLast(const void *address, uint32_t holder);

    // What an address a plugin hands in as its own buffer is to the table.
    CopyAddress Classify(const void *address) { return pool.Classify(address); }
    // The copy's length when address is the data of a copy that holder
    // holds.
    std::optional<uint32_t> HeldLength(const void *address, uint32_t holder);
    // Whether address lies in a copy that a table destroyed earlier left
    // behind, because plugins still held it: such memory is never freed.
    static bool IsLeftOver(const void *address) { return LeftOverCopies::Contain(address); }

    // Gives the memory of copies freed in a burst back to the system.
    void ReturnFreeMemory() { pool.ReturnFreeMemory(); }

    // The table's clock, in seconds, kept by a watching thread rather than
    // read for every event: it dates each copy when it is made and each slab
    // when it empties. As it advances, slabs empty for long enough go back
    // to the system.
    void AdvanceClock(uint32_t seconds);
    // One hold of a copy that has a holder besides the core: its holder, the
    // copy's length, when it was made, and its event's class and type.
    struct Holding {
        uint32_t holder;
        uint32_t length;
        uint32_t madeAt;
        uint32_t eventClass;
        uint32_t eventType;
    };
    // Calls visit(holding) for every hold of a plugin, under the pool's lock.
    void ForEachHolding(const std::function<void(const Holding &)> &visit);

private:
    struct Leak;
    void Report(const void *address, uint32_t holder) const;
    // The destructor's alone: every held copy, by ascending address.
    void ReportLeaks();
    void Summarize(const std::vector<Leak> &leaks) const;

    // Constant after construction.
    EventEntryPoint leakReport;
    LeakSummary summary;

    CopyPool pool;
};

// The delivery loop's steps, a few instructions each: inline. The loop alone
// writes `delivery` without the lock; a release exchanges it under the lock.

inline void BufferHolderTable::HoldForCall(const void *copy, uint32_t plugin) {
    pool.Head(copy).delivery.store(plugin, std::memory_order_relaxed);
}

inline bool BufferHolderTable::KeepAfterCall(const void *copy, uint32_t plugin) {
    HeldCopy &head = pool.Head(copy);
    SpinLockGuard lock(head.lock);
    bool recorded = true;
    if (head.delivery.load(std::memory_order_relaxed) == plugin) {
        recorded = head.Add(plugin);
        head.delivery.store(HeldCopy::CORE_HOLDS, std::memory_order_relaxed);
    }
    return recorded;
}

inline bool BufferHolderTable::EndDelivery(const void *copy, bool anyKept) {
    HeldCopy &head = pool.Head(copy);
    if (!anyKept) {
        head.delivery.store(HeldCopy::NOT_DELIVERED, std::memory_order_relaxed);
        return true;
    }
    SpinLockGuard lock(head.lock);
    head.delivery.store(HeldCopy::NOT_DELIVERED, std::memory_order_relaxed);
    return !head.AnyRecorded();
}

inline void BufferHolderTable::KeepForGood(const void *copy) {
    pool.Head(copy).delivery.store(HeldCopy::CORE_HOLDS, std::memory_order_relaxed);
}
