#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What a plugin's event masks select, worked out with the core's own
// matching rule rather than restated.

// The EventClass bits that select mask `index` (0 to EVENT_MASK_COUNT - 1).
uint32_t ClassBitsSelecting(int index);

// Names for the class bits the core uses itself, such as "CLASS_LOG"; empty
// for the plugins' own bits.
std::string ClassBitNames(uint32_t classBits);

// What mask `index` with `value` takes of the events the core raises, and
// the mistakes it shows, one phrase each.
std::vector<std::string> MaskNotes(int index, uint32_t value);
