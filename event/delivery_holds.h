#pragma once

#include <cstddef>
#include <cstdint>

#include "buffer_holder_table.h"

// The holds of one event's delivery: the core's own while it delivers, and
// each receiving plugin's from before its call. Steps with no plugin call
// between them share one lock of the table: the core's hold is taken with
// the first plugin's, and a plugin's hold that is to be released goes with
// the next plugin's hold or with the core's release. No plugin runs in
// between, so nothing can tell the difference; an event that no plugin
// receives touches the table not at all.
//
// Threads: one delivery at a time, on the main thread; the table guards itself.
class DeliveryHolds {
public:
    // data is null or a copy the table made.
    DeliveryHolds(BufferHolderTable &table, const void *data) : table(table), data(data) {}
    DeliveryHolds(const DeliveryHolds &) = delete;
    DeliveryHolds &operator=(const DeliveryHolds &) = delete;

    // Before the plugin's call: whether its hold was recorded (no memory for
    // one more holder, else).
    bool HoldFor(uint32_t plugin) {
        bool held = true;
        if (!coreHolds) {
            held = table.HoldBoth(data, CORE_SOURCE, plugin);
            coreHolds = true;
        } else if (releasePending) {
            held = table.Pass(data, pendingHolder, plugin);
        } else {
            held = table.Hold(data, plugin);
        }
        releasePending = false;
        return held;
    }
    // After the call of a plugin that did not retain the buffer.
    void ReleaseFor(uint32_t plugin) {
        pendingHolder = plugin;
        releasePending = true;
    }
    // A plugin kept the buffer although its hold could not be recorded: the
    // core keeps its own hold for good, so that the buffer is never freed
    // under the plugin.
    void KeepForGood() { coreKeeps = true; }
    // The core's own release: true when no holder is left and the buffer is
    // the caller's to free.
    bool Finish() {
        if (!coreHolds) {
            return true;
        }
        coreHolds = false;
        if (coreKeeps) {
            if (releasePending) {
                table.Release(data, pendingHolder);
            }
            return false;
        }
        if (releasePending) {
            releasePending = false;
            return table.ReleaseBoth(data, pendingHolder, CORE_SOURCE);
        }
        return table.Release(data, CORE_SOURCE);
    }

private:
    BufferHolderTable &table;
    const void *const data;
    bool coreHolds = false;
    bool coreKeeps = false;
    bool releasePending = false;
    uint32_t pendingHolder = 0;
};
