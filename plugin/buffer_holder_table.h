#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "include/dvrplugin.h"

// Who still holds which delivered event data buffer, so that the last holder
// to let go frees it. Holders are plugin IDs or CORE_SOURCE. The table never
// frees a buffer itself. Thread-safe: every operation runs entirely under the
// table's own lock and calls nothing outside while holding it.
class BufferHolderTable {
public:
    // leakReport raises the leak lines at destruction (FlatPluginEvent in the core).
    explicit BufferHolderTable(EventEntryPoint leakReport);
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

private:
    EventEntryPoint leakReport;
    std::mutex mutex;
    // Ordered by address; a multimap keeps insertion order among equal keys.
    std::multimap<uintptr_t, uint32_t> pairs;

    Outcome RemoveLocked(uintptr_t key, uint32_t holder);
};
