#pragma once

#include <cstddef>
#include <utility>
#include <vector>

// A first-in first-out queue in one block that doubles when full: unlike a
// deque, it allocates nothing while its length stays within what it has
// seen, so an event in a steady stream costs no trip through malloc.
//
// Threads: as the owner guards it.
template <typename T>
class RingBuffer {
public:
    bool Empty() const { return count == 0; }
    std::size_t Size() const { return count; }

    // Throws std::bad_alloc, leaving the queue as it was, when it cannot grow.
    void PushBack(const T &item) {
        if (count == slots.size()) {
            Grow();
        }
        slots[(head + count) & (slots.size() - 1)] = item;
        ++count;
    }
    // The queue must not be empty.
    const T &Front() const { return slots[head]; }
    void DropFront() {
        head = (head + 1) & (slots.size() - 1);
        --count;
    }
    // Gives back the block of an empty queue.
    void Release() {
        if (count == 0) {
            std::vector<T>().swap(slots);
            head = 0;
        }
    }
    void Swap(RingBuffer &other) {
        slots.swap(other.slots);
        std::swap(head, other.head);
        std::swap(count, other.count);
    }
    template <typename Visit>
    void ForEach(Visit &&visit) const {
        for (std::size_t i = 0; i < count; ++i) {
            visit(slots[(head + i) & (slots.size() - 1)]);
        }
    }

private:
    static constexpr std::size_t FIRST_SLOTS = 16;

    void Grow() {
        std::vector<T> grown(slots.empty() ? FIRST_SLOTS : slots.size() * 2);
        for (std::size_t i = 0; i < count; ++i) {
            grown[i] = slots[(head + i) & (slots.size() - 1)];
        }
        slots = std::move(grown);
        head = 0;
    }

    // The number of slots is 0 or a power of two.
    std::vector<T> slots;
    std::size_t head = 0;
    std::size_t count = 0;
};
