#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <pthread.h>

#include "annotated_mutex.h"
#include "job_thread.h"
#include "dvrplugin.h"

// A plugin that takes a job: its Read entry, its library, its file name and
// its ID.
struct JobTarget {
    ReadEntryPoint read;
    void *library;
    std::string name;
    uint32_t plugin = 0;
};

// Plugin jobs: a job start runs the Read entry of every plugin that wants it
// on a detached thread of its own. The events a job thread raises under a
// tag are admitted only while the tag is not cancelled, and a thread has at
// most one data-carrying tagged event in flight: the next waits until the
// buffer of the last is freed.
//
// Job threads are detached, yet each is counted against its plugin's library
// from before it starts until it has left the table: unloading waits for
// the count before it releases the library (WaitForThreads), and the core's
// destructor waits for every count (WaitForAllThreads), so that no job
// thread runs in unmapped code or a destroyed core.
//
// Threads: Cancel, StartThreads and Admit on any thread that raises events
// (Admit on the raising job thread itself); WakeWaiters on whichever thread
// frees an event buffer; Register and Unregister on a job thread for itself;
// WaitForThreads on the main thread while unloading; WaitForAllThreads in
// the core's destructor.
//
// Locks: `mutex` guards the tables below and is taken before any
// JobWaiter's own lock. No plugin is called with either held.
class JobTable {
public:
    JobTable() = default;
    JobTable(const JobTable &) = delete;
    JobTable &operator=(const JobTable &) = delete;

    void Cancel(uint32_t tag) EXCLUDES(mutex);
    // A new start of the tag takes back its cancellation.
    void Uncancel(uint32_t tag) EXCLUDES(mutex);
    // One thread per target, each with its own copy of the event's data.
    void StartThreads(const _EventParmsIn &event, const std::vector<JobTarget> &targets) EXCLUDES(mutex);

    // On the raising thread: whether its tagged event may go on. Waits while
    // the thread's previous data-carrying event is still in flight.
    bool Admit(const _EventParmsIn &event) EXCLUDES(mutex);
    // Called just before a buffer is freed; takes its address only. Without
    // job threads, as for most events, it costs one load.
    void WakeWaiters(uintptr_t bufferAddress) EXCLUDES(mutex) {
        if (bufferAddress != 0 && AnyThreads()) {
            WakeWaitersFor(bufferAddress);
        }
    }
    // Whether any job thread runs: without one, no thread waits for a
    // buffer, nor can start waiting for one that was raised before.
    bool AnyThreads() const { return threadCount.load(std::memory_order_relaxed) != 0; }

    // The calling thread as a job thread with `waiter`, until Unregister.
    // False when there is no memory for the entry.
    bool Register(JobWaiter &waiter) EXCLUDES(mutex);
    void Unregister() EXCLUDES(mutex);

    // Before the library's Unload: no new job threads start in it, those
    // waiting for a buffer give up, and the call returns once all have left.
    void WaitForThreads(void *library) EXCLUDES(mutex);
    void WaitForAllThreads() EXCLUDES(mutex);

private:
    void WakeWaitersFor(uintptr_t bufferAddress) EXCLUDES(mutex);
    void StartThread(const JobStart &job, const std::string &pluginName) EXCLUDES(mutex);
    void Run(const JobStart &job) EXCLUDES(mutex);
    bool EnterLibrary(void *library) EXCLUDES(mutex);
    void LeaveLibrary(void *library) EXCLUDES(mutex);

    Mutex mutex;
    CondVar threadLeft; // waits under mutex
    std::set<uint32_t> cancelled GUARDED_BY(mutex);
    std::map<pthread_t, JobWaiter *> threads GUARDED_BY(mutex);
    // Job threads per plugin library that have not yet left, and the
    // libraries being released, which start no more.
    std::map<void *, uint32_t> runningThreads GUARDED_BY(mutex);
    std::set<void *> releasedLibraries GUARDED_BY(mutex);

    // Atomic: the size of `threads`, written under mutex and read without
    // it: every freed event buffer asks for waiting job threads, and without
    // job threads there is none to look for.
    std::atomic<std::size_t> threadCount{0};
};
