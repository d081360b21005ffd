#include "core/periodic_thread.h"

#include <exception>
#include <utility>

PeriodicThread::PeriodicThread(std::chrono::milliseconds period, std::function<void()> tick)
    : period(period), tick(std::move(tick)), thread([this] { Run(); }) {}

PeriodicThread::~PeriodicThread() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wakeup.notify_one();
    thread.join();
}

void PeriodicThread::Run() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!wakeup.wait_for(lock, period, [this] { return stopping; })) {
        lock.unlock();
        try {
            tick();
        } catch (const std::exception &) {
            // No memory for this tick's lines: the next tick tries again.
        }
        lock.lock();
    }
}
