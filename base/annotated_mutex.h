#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "thread_annotations.h"

// Mutexes and scoped locks that the thread-safety analysis understands. The
// standard ones carry no annotations, so a field guarded by a std::mutex
// could not be checked.

class CAPABILITY("mutex") Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex &) = delete;
    Mutex &operator=(const Mutex &) = delete;

    void Lock() ACQUIRE() { mutex.lock(); }
    void Unlock() RELEASE() { mutex.unlock(); }

private:
    friend class CondVar;
    std::mutex mutex;
};

// Many readers or one writer.
class CAPABILITY("shared mutex") SharedMutex {
public:
    SharedMutex() = default;
    SharedMutex(const SharedMutex &) = delete;
    SharedMutex &operator=(const SharedMutex &) = delete;

    void Lock() ACQUIRE() { mutex.lock(); }
    void Unlock() RELEASE() { mutex.unlock(); }
    void LockShared() ACQUIRE_SHARED() { mutex.lock_shared(); }
    void UnlockShared() RELEASE_SHARED() { mutex.unlock_shared(); }

private:
    std::shared_mutex mutex;
};

// Holds a Mutex, or a SharedMutex exclusively, for its scope.
class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex &mutex) ACQUIRE(mutex) : plain(&mutex) { mutex.Lock(); }
    explicit MutexLock(SharedMutex &mutex) ACQUIRE(mutex) : shared(&mutex) { mutex.Lock(); }
    ~MutexLock() RELEASE() {
        if (plain != nullptr) {
            plain->Unlock();
        } else {
            shared->Unlock();
        }
    }
    MutexLock(const MutexLock &) = delete;
    MutexLock &operator=(const MutexLock &) = delete;

private:
    Mutex *const plain = nullptr;
    SharedMutex *const shared = nullptr;
};

// Holds a SharedMutex shared for its scope.
class SCOPED_CAPABILITY ReaderLock {
public:
    explicit ReaderLock(SharedMutex &mutex) ACQUIRE_SHARED(mutex) : mutex(mutex) { mutex.LockShared(); }
    ~ReaderLock() RELEASE_GENERIC() { mutex.UnlockShared(); }
    ReaderLock(const ReaderLock &) = delete;
    ReaderLock &operator=(const ReaderLock &) = delete;

private:
    SharedMutex &mutex;
};

// A condition variable over a Mutex the caller holds. Waits return with the
// mutex held again; callers re-check their condition in a loop, which the
// analysis can follow (a predicate lambda it cannot).
class CondVar {
public:
    CondVar() = default;
    CondVar(const CondVar &) = delete;
    CondVar &operator=(const CondVar &) = delete;

    void Wait(Mutex &mutex) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex, std::adopt_lock);
        condition.wait(lock);
        lock.release();
    }
    // False when the time ran out first.
    template <typename Clock, typename Duration>
    bool WaitUntil(Mutex &mutex, const std::chrono::time_point<Clock, Duration> &deadline) REQUIRES(mutex) {
        std::unique_lock<std::mutex> lock(mutex.mutex, std::adopt_lock);
        const bool woken = condition.wait_until(lock, deadline) == std::cv_status::no_timeout;
        lock.release();
        return woken;
    }
    void NotifyOne() { condition.notify_one(); }
    void NotifyAll() { condition.notify_all(); }

private:
    std::condition_variable condition;
};
