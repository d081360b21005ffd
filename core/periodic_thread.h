#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// A thread that runs `tick` once per period until the object goes; the
// destructor wakes and joins it. The constructor throws std::system_error
// when the system gives no thread.
class PeriodicThread {
public:
    PeriodicThread(std::chrono::milliseconds period, std::function<void()> tick);
    ~PeriodicThread();
    PeriodicThread(const PeriodicThread &) = delete;
    PeriodicThread &operator=(const PeriodicThread &) = delete;

private:
    void Run();

    const std::chrono::milliseconds period;
    const std::function<void()> tick;
    std::mutex mutex;
    std::condition_variable wakeup;
    bool stopping = false; // mutex
    std::thread thread;    // last: starts once the rest is built
};
