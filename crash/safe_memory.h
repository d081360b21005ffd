#pragma once

#include <cstddef>
#include <cstdint>

// Reads memory that may not be readable, without faulting: the kernel is
// handed each page first (one byte written into a pipe, which fails with
// EFAULT where the process may not read), and pages found readable are
// remembered. For the crash handler, which walks stacks and libraries that
// may be damaged or already unmapped.
//
// Threads: Open outside any handler, once; Read by one thread at a time
// (the crash handler, after it has claimed the report), async-signal-safe.
class SafeMemory {
public:
    SafeMemory() = default;
    ~SafeMemory();
    SafeMemory(const SafeMemory &) = delete;
    SafeMemory &operator=(const SafeMemory &) = delete;

    bool Open();
    // False, and nothing copied, when any byte of the range is unreadable.
    bool Read(uintptr_t address, void *out, std::size_t bytes);
    template <typename Value>
    bool ReadValue(uintptr_t address, Value &value) {
        return Read(address, &value, sizeof value);
    }

private:
    bool PageReadable(uintptr_t page);

    int probe[2] = {-1, -1};
    uintptr_t pageBytes = 4096;
    static constexpr std::size_t REMEMBERED_PAGES = 64;
    uintptr_t readablePages[REMEMBERED_PAGES] = {};
    std::size_t nextRemembered = 0;
};
