#pragma once

#include <atomic>
#include <cstdint>
#include <set>

#include "annotated_mutex.h"
#include "dvrplugin.h"
#include "source_names.h"

// The plugins whose Close has been called, and a console line, once per
// plugin, for an event one of them raises after it: the core refuses it.
//
// Threads: the main thread marks plugins closed; any thread that raises an
// event notes it once the closing has begun.
//
// Locks: `mutex` guards both sets; `closingStarted` is set after the first
// plugin is marked, so that the running core never takes the lock.
class ClosedPlugins {
public:
    explicit ClosedPlugins(const SourceNames &names) : names(names) {}
    ClosedPlugins(const ClosedPlugins &) = delete;
    ClosedPlugins &operator=(const ClosedPlugins &) = delete;

    void MarkClosed(uint32_t id) EXCLUDES(mutex);
    bool ClosingStarted() const { return closingStarted; }
    // Tells of an event a closed plugin raised, the first time only.
    void NoteRaise(const _EventParmsIn &event) EXCLUDES(mutex);

private:
    // Constant after construction.
    const SourceNames &names;

    Mutex mutex;
    std::set<uint32_t> closed GUARDED_BY(mutex);
    std::set<uint32_t> reportedLateRaisers GUARDED_BY(mutex);

    // Atomic: set by the main thread, read by any raiser.
    std::atomic<bool> closingStarted{false};
};
