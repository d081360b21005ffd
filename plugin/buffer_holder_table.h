#pragma once

#include <atomic>
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
// Every operation but Copy, ReleaseHold, Classify, HeldLength and
// ReturnFreeMemory takes null or the address of a copy the table made and
// that has not been freed: the delivery loop's steps work on the copy's head
// at once. Those four take any address, as plugins hand it in.
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

    // Adds the pair after all pairs of the same copy: whether it was
    // recorded. Null is ignored (true).
    bool Hold(const void *copy, uint32_t holder);
    // Removes every (copy, holder) pair; true when no holder of the copy is
    // left, also when there was none. Null answers true at once.
    bool Release(const void *copy, uint32_t holder);
    // Release for a holder that may not hold the buffer at all, of an address
    // that may be no copy's, as one step: whether a hold of the holder was
    // removed, and whether any holder is left.
    struct Outcome {
        bool removedHold;
        bool noHolderLeft;
    };
    Outcome ReleaseHold(const void *address, uint32_t holder);
    // Release(copy, released) followed by Hold(copy, held), as one step:
    // whether the hold was recorded. Null is ignored (true).
    bool Pass(const void *copy, uint32_t released, uint32_t held);
    // Hold for two holders, in this order, as one step: whether the second
    // hold was recorded (the first is, on a copy no one holds). Null is
    // ignored (true).
    bool HoldBoth(const void *copy, uint32_t first, uint32_t second);
    // Release of two holders, as one step: true when no holder is left.
    bool ReleaseBoth(const void *copy, uint32_t first, uint32_t second);

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

    // The table's clock, in seconds, that dates each copy when it is made:
    // kept by a watching thread rather than read for every event.
    void SetClock(uint32_t seconds) { clockSeconds.store(seconds, std::memory_order_relaxed); }
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

    std::atomic<uint32_t> clockSeconds{0};

    CopyPool pool;
};

// The delivery loop's steps, a few instructions each: inline.

inline bool BufferHolderTable::Hold(const void *copy, uint32_t holder) {
    if (copy == nullptr) {
        return true;
    }
    HeldCopy &head = pool.Head(copy);
    SpinLockGuard lock(head.lock);
    return head.Add(holder);
}

inline bool BufferHolderTable::Release(const void *copy, uint32_t holder) {
    if (copy == nullptr) {
        return true;
    }
    HeldCopy &head = pool.Head(copy);
    SpinLockGuard lock(head.lock);
    head.Remove(holder);
    return head.Unheld();
}

inline bool BufferHolderTable::Pass(const void *copy, uint32_t released, uint32_t held) {
    if (copy == nullptr) {
        return true;
    }
    HeldCopy &head = pool.Head(copy);
    SpinLockGuard lock(head.lock);
    head.Remove(released);
    return head.Add(held);
}

inline bool BufferHolderTable::HoldBoth(const void *copy, uint32_t first, uint32_t second) {
    if (copy == nullptr) {
        return true;
    }
    HeldCopy &head = pool.Head(copy);
    SpinLockGuard lock(head.lock);
    return head.Add(first) && head.Add(second);
}

inline bool BufferHolderTable::ReleaseBoth(const void *copy, uint32_t first, uint32_t second) {
    if (copy == nullptr) {
        return true;
    }
    HeldCopy &head = pool.Head(copy);
    SpinLockGuard lock(head.lock);
    head.Remove(first, second);
    return head.Unheld();
}
