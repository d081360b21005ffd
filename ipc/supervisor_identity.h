#pragma once

#include <chrono>
#include <string>

#include "annotated_mutex.h"

// The supervisor's file name and version, from its identity packet.
//
// Threads: the asio thread records the identity; the main thread waits for
// it at start-up and reads it for the modules report; whoever requests a
// stop interrupts the wait.
//
// Locks: `mutex` guards the strings and whether they came, and the wait.
class SupervisorIdentity {
public:
    struct Strings {
        std::string fileName;
        std::string version;
    };

    void Record(const std::string &fileName, const std::string *version) EXCLUDES(mutex);
    Strings Get() EXCLUDES(mutex);

    // Returns once the identity has come, `stopped()` holds or the time is
    // up, measured on the monotonic clock so that setting the time neither
    // shortens nor stretches it. Other wake-ups do not end it.
    template <typename Stopped>
    void WaitFor(std::chrono::steady_clock::duration timeout, Stopped stopped) EXCLUDES(mutex);
    // A stop was requested: the wait looks at `stopped` again.
    void Interrupt() EXCLUDES(mutex);

private:
    Mutex mutex;
    CondVar wakeup; // waits under mutex
    Strings strings GUARDED_BY(mutex);
    bool received GUARDED_BY(mutex) = false;
};

inline void SupervisorIdentity::Record(const std::string &fileName, const std::string *version) {
    {
        MutexLock lock(mutex);
        strings.fileName = fileName;
        if (version != nullptr) {
            strings.version = *version;
        }
        received = true;
    }
    wakeup.NotifyOne();
}

inline SupervisorIdentity::Strings SupervisorIdentity::Get() {
    MutexLock lock(mutex);
    return strings;
}

template <typename Stopped>
void SupervisorIdentity::WaitFor(std::chrono::steady_clock::duration timeout, Stopped stopped) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    MutexLock lock(mutex);
    while (!received && !stopped()) {
        if (!wakeup.WaitUntil(mutex, deadline)) {
            return;
        }
    }
}

// Taking the lock orders the stop against a waiter between its look at
// `stopped` and its wait: the notification cannot fall in between.
inline void SupervisorIdentity::Interrupt() {
    MutexLock lock(mutex);
    wakeup.NotifyOne();
}
