#include "periodic_thread.h"

#include <exception>
#include <utility>

PeriodicThread::PeriodicThread(std::chrono::milliseconds period, std::function<void()> tick, ThreadRole role)
    : period(period), tick(std::move(tick)), role(role), thread([this] { Run(); }) {}

PeriodicThread::~PeriodicThread() {
    {
        MutexLock lock(mutex);
        stopping = true;
    }
    wakeup.NotifyOne();
    thread.join();
}

void PeriodicThread::Run() {
    const ThreadRoleScope threadRole(role);
    MutexLock lock(mutex);
    for (;;) {
        // A period without a stop, however often the wait is woken.
        const auto due = std::chrono::steady_clock::now() + period;
        while (!stopping && wakeup.WaitUntil(mutex, due)) {
        }
        if (stopping) {
            return;
        }
        mutex.Unlock();
        try {
            tick();
        } catch (const std::exception &) {
            // No memory for this tick's lines: the next tick tries again.
        }
        mutex.Lock();
    }
}
