#pragma once

#include <atomic>

#include <sched.h>

#include "thread_annotations.h"

// A lock for a few steps that never call out: an uncontended take and give
// are one atomic each, against a mutex's library calls. A waiter yields the
// processor instead of spinning, so a holder that was preempted on a small
// device gets to finish.
class CAPABILITY("spin lock") SpinLock {
public:
    SpinLock() = default;
    SpinLock(const SpinLock &) = delete;
    SpinLock &operator=(const SpinLock &) = delete;

    void Lock() ACQUIRE() {
        while (locked.exchange(true, std::memory_order_acquire)) {
            while (locked.load(std::memory_order_relaxed)) {
                sched_yield();
            }
        }
    }
    void Unlock() RELEASE() { locked.store(false, std::memory_order_release); }

private:
    std::atomic<bool> locked{false};
};

// Holds a SpinLock for its scope.
class SCOPED_CAPABILITY SpinLockGuard {
public:
    explicit SpinLockGuard(SpinLock &lock) ACQUIRE(lock) : lock(lock) { lock.Lock(); }
    ~SpinLockGuard() RELEASE() { lock.Unlock(); }
    SpinLockGuard(const SpinLockGuard &) = delete;
    SpinLockGuard &operator=(const SpinLockGuard &) = delete;

private:
    SpinLock &lock;
};
