#pragma once

#include <cstddef>

// An alternate signal stack for the calling thread while the object lives,
// so that the fatal-signal handler still runs on a thread that has overflowed
// its own stack. A thread that already has one (its own, or a sanitizer's)
// keeps it, and the object does nothing; so does it when no memory can be
// mapped. Made and destroyed on the same thread.
class AlternateSignalStack {
public:
    AlternateSignalStack();
    ~AlternateSignalStack();
    AlternateSignalStack(const AlternateSignalStack &) = delete;
    AlternateSignalStack &operator=(const AlternateSignalStack &) = delete;

    bool Installed() const { return mapping != nullptr; }

    // Enough for the crash handler, with its unwinder, and what the C library
    // asks for.
    static std::size_t Size();

private:
    void *mapping = nullptr; // a guard page, then the stack
    std::size_t mappedBytes = 0;
};
