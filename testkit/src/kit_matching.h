// Which events and packets reach a plugin: the core's rules, restated here
// because the kit stands on the plugin header alone.
#pragma once

#include <cstdint>

#include "dvrplugin.h"

namespace dvrtest {

// Delivery to Write: bits 24-30 of the type move up one place, bit 31 drops out.
constexpr uint32_t DeliveryValue(uint32_t eventType) {
    return ((eventType << 1) & 0xFE000000u) | (eventType & 0x00FFFFFFu);
}

// Job start: bits 24-31 of the type move down one place.
constexpr uint32_t JobValue(uint32_t eventType) {
    return ((eventType >> 1) & 0x7F800000u) | (eventType & 0x00FFFFFFu);
}

// Class bits 0-7 select masks 0-7, bit 10 mask 8; one selected mask must
// cover every bit of the value.
constexpr bool MatchesMasks(uint32_t eventClass, const uint32_t (&masks)[EVENT_MASK_COUNT], uint32_t value) {
    for (int k = 0; k < 8; ++k) {
        if ((eventClass & (1u << k)) != 0 && (value & ~masks[k]) == 0) {
            return true;
        }
    }
    return (eventClass & CLASS_MASK8) != 0 && (value & ~masks[8]) == 0;
}

// A packet's address bits 20-31 name the plugin whose ID bits 16-27 equal them.
constexpr bool AddressesPlugin(uint32_t address, uint32_t pluginId) {
    return ((pluginId >> 16) & 0xFFFu) == (address >> 20);
}

} // namespace dvrtest
