#pragma once

#include <cstdint>

#include "buffer_holder_table.h"

// The holds of one event's delivery: the core's own while it delivers, and
// each receiving plugin's for its call, kept in the copy's head apart from
// the recorded holds, so that a receiver that does not keep the buffer costs
// a store; only a plugin that keeps it has its hold recorded under the
// copy's lock. A call hold ends when the next one begins or the delivery
// ends: no plugin runs in between, so nothing can tell the difference. An
// event that no plugin receives touches no hold at all.
//
// Threads: one delivery at a time, on the main thread; the table guards itself.
class DeliveryHolds {
public:
    // data is null or a copy the table made.
    DeliveryHolds(BufferHolderTable &table, const void *data) : table(table), data(data) {}
    DeliveryHolds(const DeliveryHolds &) = delete;
    DeliveryHolds &operator=(const DeliveryHolds &) = delete;

    // Before the plugin's call.
    void HoldFor(uint32_t plugin) {
        if (data != nullptr) {
            table.HoldForCall(data, plugin);
            delivered = true;
        }
    }
    // After the call of a plugin that kept the buffer: false when its hold
    // could not be recorded (no memory for one more holder).
    bool KeepFor(uint32_t plugin) {
        if (data == nullptr) {
            return true;
        }
        anyKept = true;
        return table.KeepAfterCall(data, plugin);
    }
    // A plugin kept the buffer although its hold could not be recorded: the
    // core keeps its own hold for good, so that the buffer is never freed
    // under the plugin.
    void KeepForGood() { coreKeeps = true; }
    // The core's own release: true when no holder is left and the buffer is
    // the caller's to free.
    bool Finish() {
        if (!delivered) {
            return true;
        }
        delivered = false;
        if (coreKeeps) {
            table.KeepForGood(data);
            return false;
        }
        return table.EndDelivery(data, anyKept);
    }

private:
    BufferHolderTable &table;
    const void *const data;
    bool delivered = false;
    bool anyKept = false;
    bool coreKeeps = false;
};
