#include "repeat_filter.h"

RepeatFilter::Verdict RepeatFilter::Admit(uint64_t key, int64_t nowNs) {
    Entry *free = nullptr;
    for (Entry &entry : entries) {
        if (!entry.used) {
            free = free != nullptr ? free : &entry;
            continue;
        }
        if (entry.key != key) {
            continue;
        }
        if (nowNs - entry.printedAt < windowNs) {
            ++entry.heldBack;
            return {false, 0};
        }
        const uint64_t heldBack = entry.heldBack;
        entry.printedAt = nowNs;
        entry.heldBack = 0;
        return {true, heldBack};
    }
    if (free != nullptr) {
        *free = Entry{true, key, nowNs, 0};
    }
    return {true, 0};
}
