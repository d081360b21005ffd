#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Memory of event data copies that plugins still held when the core's pool
// went away. It stays mapped and untouched for the rest of the process: the
// library that is never closed may still read such a buffer from its threads
// or its destructor, and may even hand it over for the supervisor, which
// then must not free it.
//
// Threads: any. Each pool's ranges are published once and never change, so
// lookups take no lock.
namespace LeftOverCopies {

struct Range {
    uintptr_t begin;
    std::size_t bytes;
};

// Keeps the ranges for good. Without memory to record them, every address
// counts as left over from then on: nothing is freed that might be a copy.
void Keep(std::vector<Range> ranges) noexcept;
// Whether the address lies in memory some pool has left behind.
bool Contain(const void *address);

} // namespace LeftOverCopies
