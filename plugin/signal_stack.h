#pragma once

#include <cstddef>

#include <pthread.h>

// An alternate signal stack for the calling thread while the object lives,
// so that the fatal-signal handler still runs on a thread that has overflowed
// its own stack. A thread that already has one (its own, or a sanitizer's)
// keeps it, and the object does nothing; so does it when no memory can be
// mapped. Made and destroyed on the same thread.
//
// Threads start and end often (a job is a thread): an ended thread's stack
// is kept, up to CACHED_STACKS of them, for the next thread to take, so that
// most threads neither map nor unmap (an unmap in a threaded process stops
// every processor to flush its address cache).
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

    // Ended threads' stacks kept for reuse: as many as a burst of job threads
    // ending together, at about 68 KiB of address space each and no memory.
    static constexpr std::size_t CACHED_STACKS = 16;

private:
    void *mapping = nullptr; // a guard page, then the stack
    pthread_t owner{};       // the thread whose stack it is
};
