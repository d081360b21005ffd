#include "safe_memory.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

// The copy reads only what was found readable, which the sanitizers may
// still take for poisoned memory (a stack's redzones): not instrumented, and
// by volatile bytes, so that no compiler turns it into a memcpy call that
// they intercept.
__attribute__((no_sanitize("address", "thread"))) void CopyBytes(uintptr_t from, void *to, std::size_t bytes) {
    const volatile unsigned char *source = reinterpret_cast<const volatile unsigned char *>(from);
    unsigned char *target = static_cast<unsigned char *>(to);
    for (std::size_t i = 0; i < bytes; ++i) {
        target[i] = source[i];
    }
}

} // namespace

SafeMemory::~SafeMemory() {
    for (int end : probe) {
        if (end >= 0) {
            close(end);
        }
    }
}

bool SafeMemory::Open() {
    if (probe[0] >= 0) {
        return true;
    }
    pageBytes = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return pipe2(probe, O_CLOEXEC | O_NONBLOCK) == 0;
}

bool SafeMemory::PageReadable(uintptr_t page) {
    if (page == 0) {
        return false;
    }
    for (uintptr_t known : readablePages) {
        if (known == page) {
            return true;
        }
    }
    ssize_t written;
    do {
        written = write(probe[1], reinterpret_cast<const void *>(page), 1);
    } while (written < 0 && errno == EINTR);
    if (written != 1) {
        return false;
    }
    unsigned char drained;
    while (read(probe[0], &drained, 1) < 0 && errno == EINTR) {
    }
    readablePages[nextRemembered] = page;
    nextRemembered = (nextRemembered + 1) % REMEMBERED_PAGES;
    return true;
}

bool SafeMemory::Read(uintptr_t address, void *out, std::size_t bytes) {
    if (probe[1] < 0 || bytes == 0 || address + bytes < address) {
        return false;
    }
    const uintptr_t pageMask = ~(pageBytes - 1);
    for (uintptr_t page = address & pageMask; page <= ((address + bytes - 1) & pageMask); page += pageBytes) {
        if (!PageReadable(page)) {
            return false;
        }
    }
    CopyBytes(address, out, bytes);
    return true;
}
