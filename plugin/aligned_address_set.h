#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// A set of distinct non-null addresses, each a multiple of 2^ALIGNMENT_BITS
// (the copy pool's slabs), held in one array with open addressing: a lookup
// is a multiply, a shift and a compare or two, where a standard hash set
// divides by a prime and walks a chain of nodes. The pool looks up every
// address a plugin hands back.
//
// Insert may allocate, and then throw std::bad_alloc with the set unchanged;
// Contains, Erase and ForEach never allocate.
//
// Threads: none of its own; its owner guards it.
template <unsigned ALIGNMENT_BITS>
class AlignedAddressSet {
public:
    // Null, which marks a free slot, is never in the set.
    bool Contains(const void *address) const {
        const uintptr_t key = reinterpret_cast<uintptr_t>(address);
        if (capacity == 0 || key == EMPTY) {
            return false;
        }
        for (std::size_t slot = Home(key);; slot = Next(slot)) {
            if (slots[slot] == key) {
                return true;
            }
            if (slots[slot] == EMPTY) {
                return false;
            }
        }
    }
    // address must not be in the set yet.
    void Insert(const void *address) {
        if (2 * (count + 1) > capacity) {
            Grow();
        }
        Place(reinterpret_cast<uintptr_t>(address));
        ++count;
    }
    // The entries after the freed slot that would no longer be found from
    // their home slot move back into it, so that no marker is left behind.
    void Erase(const void *address) {
        const uintptr_t key = reinterpret_cast<uintptr_t>(address);
        if (capacity == 0 || key == EMPTY) {
            return;
        }
        std::size_t hole = Home(key);
        while (slots[hole] != key) {
            if (slots[hole] == EMPTY) {
                return;
            }
            hole = Next(hole);
        }
        slots[hole] = EMPTY;
        --count;
        for (std::size_t slot = Next(hole); slots[slot] != EMPTY; slot = Next(slot)) {
            const std::size_t fromHome = (slot - Home(slots[slot])) & (capacity - 1);
            if (fromHome >= ((slot - hole) & (capacity - 1))) {
                slots[hole] = slots[slot];
                slots[slot] = EMPTY;
                hole = slot;
            }
        }
    }
    std::size_t Size() const { return count; }
    // Calls visit(address) for every address in the set; the set must not
    // change meanwhile.
    template <typename Visit>
    void ForEach(Visit &&visit) const {
        for (std::size_t slot = 0; slot < capacity; ++slot) {
            if (slots[slot] != EMPTY) {
                visit(reinterpret_cast<void *>(slots[slot]));
            }
        }
    }

private:
    static constexpr uintptr_t EMPTY = 0;
    static constexpr unsigned WORD_BITS = 8 * sizeof(uintptr_t);
    // 2^WORD_BITS divided by the golden ratio: consecutive aligned addresses
    // land far apart.
    static constexpr uintptr_t SPREAD =
        sizeof(uintptr_t) == 8 ? static_cast<uintptr_t>(0x9E3779B97F4A7C15ull) : static_cast<uintptr_t>(0x9E3779B9u);
    static constexpr std::size_t FIRST_CAPACITY = 16;

    std::size_t Home(uintptr_t key) const { return ((key >> ALIGNMENT_BITS) * SPREAD) >> (WORD_BITS - capacityBits); }
    std::size_t Next(std::size_t slot) const { return (slot + 1) & (capacity - 1); }
    void Place(uintptr_t key) {
        std::size_t slot = Home(key);
        while (slots[slot] != EMPTY) {
            slot = Next(slot);
        }
        slots[slot] = key;
    }
    void Grow() {
        const std::size_t grown = capacity == 0 ? FIRST_CAPACITY : 2 * capacity;
        std::unique_ptr<uintptr_t[]> old(new uintptr_t[grown]());
        old.swap(slots);
        const std::size_t oldCapacity = capacity;
        capacity = grown;
        capacityBits = 0;
        while ((std::size_t{1} << capacityBits) < capacity) {
            ++capacityBits;
        }
        for (std::size_t slot = 0; slot < oldCapacity; ++slot) {
            if (old[slot] != EMPTY) {
                Place(old[slot]);
            }
        }
    }

    std::unique_ptr<uintptr_t[]> slots;
    std::size_t capacity = 0; // a power of two, or 0
    unsigned capacityBits = 0;
    std::size_t count = 0;
};
