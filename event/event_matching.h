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

// Only the selected masks are looked at: an event usually has one class bit.
constexpr bool MatchesMasks(uint32_t eventClass, const uint32_t (&masks)[EVENT_MASK_COUNT], uint32_t value) {
    for (uint32_t selected = eventClass & 0xFFu; selected != 0; selected &= selected - 1) {
        if ((value & ~masks[__builtin_ctz(selected)]) == 0) {
            return true;
        }
    }
    return (eventClass & CLASS_MASK8) != 0 && (value & ~masks[8]) == 0;
}
