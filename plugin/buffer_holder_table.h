#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include "annotated_mutex.h"
#include <unordered_map>
#include <vector>

#include "dvrplugin.h"

// Who still holds which delivered event data buffer, so that the last holder
// to let go frees it. Holders are plugin IDs or CORE_SOURCE. The table never
// frees a buffer itself. A buffer's length, given with its first hold, only
// counts towards the leak summary.
//
// Threads: any (the delivery loop, raisers releasing buffers). Locks: every
// operation runs entirely under `mutex` and calls nothing outside while
// holding it; the destructor reports what is left, when no thread uses the
// table any more.
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

    // Adds the pair after all pairs of the same address. Null is ignored.
    void Hold(const void *address, uint32_t holder);
    // Removes every (address, holder) pair; true when no holder of the address
    // is left, also when there was none. Null answers true at once.
    bool Release(const void *address, uint32_t holder);
    // Release for a holder that may not hold the buffer at all, as one step:
    // whether a hold of the holder was removed, and whether any holder is left.
    struct Outcome {
        bool removedHold;
        bool noHolderLeft;
    };
    Outcome ReleaseHold(const void *address, uint32_t holder);
    // Release(address, released) followed by Hold(address, held), as one
    // step. Null is ignored.
    void Pass(const void *address, uint32_t released, uint32_t held);
    // Hold for two holders, in this order, as one step. Null is ignored.
    void HoldBoth(const void *address, uint32_t first, uint32_t second, std::size_t length = 0);
    // Release of two holders, as one step: true when no holder is left.
    bool ReleaseBoth(const void *address, uint32_t first, uint32_t second);

private:
    // A buffer's holders in the order their holds were added.
    using Holders = std::vector<uint32_t>;
    struct Held {
        Holders holders;
        std::size_t length = 0;
    };
    using Table = std::unordered_map<uintptr_t, Held>;
    // Every event passes through the table, so a hold must not allocate: the
    // entries of released buffers, with their holder lists' capacity, are
    // kept for the next buffers, up to this many.
    static constexpr std::size_t SPARE_ENTRIES = 64;

    void AddLocked(uintptr_t key, uint32_t holder, std::size_t length = 0) REQUIRES(mutex);
    Outcome RemoveLocked(uintptr_t key, uint32_t holder) REQUIRES(mutex);
    void Report(uintptr_t key, const Holders &holders) const;
    // The destructor's alone, when no other thread can reach the table: it
    // reads the entries without the lock.
    void Summarize() const NO_THREAD_SAFETY_ANALYSIS;

    // Constant after construction.
    EventEntryPoint leakReport;
    LeakSummary summary;

    Mutex mutex;
    Table entries GUARDED_BY(mutex);                        // only buffers with at least one holder
    std::vector<Table::node_type> spares GUARDED_BY(mutex); // capacity SPARE_ENTRIES from the start
};
