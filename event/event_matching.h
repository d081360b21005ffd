#pragma once

#include <cstdint>

#include "dvrplugin.h"

// How an event's class and type pick the plugins that get it. Class bits 0-7
// select masks 0-7 and bit 10 selects mask 8; a plugin matches when one
// selected mask covers every bit of the comparison value.
//
// Threads: pure functions, for any thread.

// Delivery: bits 24-30 of the type move up one place, bit 31 drops out.
constexpr uint32_t DeliveryValue(uint32_t eventType) {
    return ((eventType << 1) & 0xFE000000u) | (eventType & 0x00FFFFFFu);
}

// Job start: bits 24-31 of the type move down one place.
constexpr uint32_t JobValue(uint32_t eventType) { return ((eventType >> 1) & 0x7F800000u) | (eventType & 0x00FFFFFFu); }

// The masks an event's class selects, worked out once for all plugins: an
// event usually selects one.
class SelectedMasks {
public:
    constexpr SelectedMasks(uint32_t eventClass, uint32_t value)
        : selected((eventClass & 0xFFu) | ((eventClass & CLASS_MASK8) != 0 ? 1u << 8 : 0u)), value(value) {}

    constexpr bool Match(const uint32_t (&masks)[EVENT_MASK_COUNT]) const {
        for (uint32_t left = selected; left != 0; left &= left - 1) {
            if ((value & ~masks[__builtin_ctz(left)]) == 0) {
                return true;
            }
        }
        return false;
    }

private:
    uint32_t selected; // bit k: mask k
    uint32_t value;
};

constexpr bool MatchesMasks(uint32_t eventClass, const uint32_t (&masks)[EVENT_MASK_COUNT], uint32_t value) {
    return SelectedMasks(eventClass, value).Match(masks);
}
