#include "mask_description.h"

#include <cstdio>

#include "event/event_matching.h"

namespace {

// Masks where only `index` can match: it holds `value`, the others nothing.
struct SingleMask {
    SingleMask(int index, uint32_t value) { masks[index] = value; }
    bool Takes(uint32_t eventClass, uint32_t eventType) const {
        return MatchesMasks(eventClass, masks, DeliveryValue(eventType));
    }
    uint32_t masks[EVENT_MASK_COUNT] = {};
};

constexpr uint32_t ALL_BITS = 0xFFFFFFFFu;

} // namespace

uint32_t ClassBitsSelecting(int index) {
    const SingleMask everything(index, ALL_BITS);
    uint32_t bits = 0;
    for (int bit = 0; bit < 32; ++bit) {
        // Only mask `index` covers a value with every bit set.
        if (MatchesMasks(1u << bit, everything.masks, ALL_BITS)) {
            bits |= 1u << bit;
        }
    }
    return bits;
}

std::string ClassBitNames(uint32_t classBits) {
    const std::pair<uint32_t, const char *> named[] = {
        {CLASS_STATUS, "CLASS_STATUS"}, {CLASS_LOG, "CLASS_LOG"}, {CLASS_MASK8, "CLASS_MASK8"}};
    std::string names;
    for (const auto &[bit, name] : named) {
        if ((classBits & bit) != 0) {
            names += (names.empty() ? "" : ", ") + std::string(name);
        }
    }
    return names;
}

std::vector<std::string> MaskNotes(int index, uint32_t value) {
    const SingleMask mask(index, value);
    const uint32_t classBits = ClassBitsSelecting(index);
    std::vector<std::string> notes;
    if (mask.Takes(classBits, ALL_BITS)) {
        notes.push_back("takes every type");
    }
    if (mask.Takes(CLASS_LOG, TYPE_FROM_CORE | TYPE_LOG_TEXT)) {
        notes.push_back("takes the core's log lines");
    }
    if (mask.Takes(CLASS_LOG, TYPE_LOG_TEXT)) {
        notes.push_back("takes the plugins' log lines");
    }
    if (mask.Takes(CLASS_STATUS, TYPE_FROM_CORE | TYPE_DOCUMENT)) {
        notes.push_back("takes the core's status documents");
    }
    // The comparison moves type bit 24 up one place, so a mask copied from a
    // type that has it matches none of the core's events.
    const uint32_t comparedFromCore = DeliveryValue(TYPE_FROM_CORE);
    if ((value & TYPE_FROM_CORE) != 0 && (value & comparedFromCore) == 0) {
        char note[160];
        std::snprintf(note, sizeof note,
                      "has type bit 0x%08X (TYPE_FROM_CORE) but not 0x%08X: events are compared with that bit "
                      "moved up, so the core's events never match (guide, section 4)",
                      TYPE_FROM_CORE, comparedFromCore);
        notes.push_back(note);
    }
    return notes;
}
