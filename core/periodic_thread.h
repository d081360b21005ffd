#pragma once

#include <chrono>
#include <functional>
#include <thread>

#include "annotated_mutex.h"
#include "thread_role.h"

// A thread that runs `tick` once per period until the object goes; the
// destructor wakes and joins it. The constructor throws std::system_error
// when the system gives no thread. `role` says what the thread is in a
// crash report.
//
// Threads: the owner constructs and destroys; the thread ticks, without the
// lock. Locks: `mutex` guards the stop request and the wait.
class PeriodicThread {
public:
    PeriodicThread(std::chrono::milliseconds period, std::function<void()> tick, ThreadRole role);
    ~PeriodicThread() EXCLUDES(mutex);
    PeriodicThread(const PeriodicThread &) = delete;
    PeriodicThread &operator=(const PeriodicThread &) = delete;

private:
    void Run() EXCLUDES(mutex);

    // Constant after construction.
    const std::chrono::milliseconds period;
    const std::function<void()> tick;
    const ThreadRole role;

    Mutex mutex;
    CondVar wakeup; // waits under mutex
    bool stopping GUARDED_BY(mutex) = false;

    std::thread thread; // last: starts once the rest is built
};
