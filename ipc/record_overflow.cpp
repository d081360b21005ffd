#include "record_overflow.h"

#include <algorithm>
#include <new>

#include <sys/mman.h>

namespace {

uint8_t *MapAnonymous(std::size_t size) {
    void *mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapped == MAP_FAILED) {
        throw std::bad_alloc();
    }
    return static_cast<uint8_t *>(mapped);
}

} // namespace

RecordOverflow::RecordOverflow(std::size_t size) : size(size), data(MapAnonymous(size)) {}

RecordOverflow::~RecordOverflow() { munmap(data, size); }

// The mapping starts on a page, and madvise rounds the length up to whole
// pages, so every page written is covered.
void RecordOverflow::Release(std::size_t used) {
    if (used != 0) {
        madvise(data, std::min(used, size), MADV_DONTNEED);
    }
}
