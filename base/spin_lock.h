#pragma once

#include <atomic>
#include <cstdint>

#include <linux/futex.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "thread_annotations.h"

// A lock for a few steps that never call out: an uncontended take and give
// are one atomic each, against a mutex's library calls. A waiter first
// yields a few times, as the holder is usually about to let go, then sleeps
// in the kernel until woken: a yield gives way to no thread of lower
// priority, and a real-time plugin thread must not keep a preempted holder
// from running on its processor.
class CAPABILITY("spin lock") SpinLock {
public:
    SpinLock() = default;
    SpinLock(const SpinLock &) = delete;
    SpinLock &operator=(const SpinLock &) = delete;

    void Lock() ACQUIRE() {
        uint32_t expected = FREE;
        if (!state.compare_exchange_strong(expected, TAKEN, std::memory_order_acquire, std::memory_order_relaxed)) {
            LockContended();
        }
    }
    void Unlock() RELEASE() {
        if (state.exchange(FREE, std::memory_order_release) == WAITED_FOR) {
            syscall(SYS_futex, reinterpret_cast<uint32_t *>(&state), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
        }
    }

private:
    static constexpr uint32_t FREE = 0;
    static constexpr uint32_t TAKEN = 1;
    static constexpr uint32_t WAITED_FOR = 2; // taken, and someone may sleep
    static constexpr unsigned YIELDS = 16;

    // Once a waiter has marked the lock as waited for, it keeps that mark
    // when it takes the lock: another may still sleep, and the unlock then
    // wakes it.
    void LockContended() {
        for (unsigned yields = 0; yields < YIELDS; ++yields) {
            sched_yield();
            uint32_t expected = FREE;
            if (state.compare_exchange_strong(expected, TAKEN, std::memory_order_acquire, std::memory_order_relaxed)) {
                return;
            }
        }
        while (state.exchange(WAITED_FOR, std::memory_order_acquire) != FREE) {
            syscall(SYS_futex, reinterpret_cast<uint32_t *>(&state), FUTEX_WAIT_PRIVATE, WAITED_FOR, nullptr, nullptr,
                    0);
        }
    }

    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the kernel waits on the word itself");
    std::atomic<uint32_t> state{FREE};
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
