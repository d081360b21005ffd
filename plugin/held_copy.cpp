#include "held_copy.h"

#include <algorithm>
#include <new>

// The delivery loop adds holders: no allocation failure may leave it.
bool HeldCopy::AddBeyondInline(uint32_t holder) {
    try {
        if (!overflow) {
            auto all = std::make_unique<std::vector<uint32_t>>(inlineHolders, inlineHolders + count);
            all->push_back(holder);
            overflow = std::move(all);
        } else {
            overflow->push_back(holder);
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    ++count;
    return true;
}

// Back into the head once few enough are left.
bool HeldCopy::RemoveBeyondInline(uint32_t holder) {
    const auto kept = std::remove(overflow->begin(), overflow->end(), holder);
    const bool removed = kept != overflow->end();
    overflow->erase(kept, overflow->end());
    count = static_cast<uint32_t>(overflow->size());
    if (count <= INLINE_HOLDERS) {
        std::copy(overflow->begin(), overflow->end(), inlineHolders);
        overflow.reset();
    }
    return removed;
}
