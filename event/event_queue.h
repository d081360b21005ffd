#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>

#include "annotated_mutex.h"
#include "buffer_holder_table.h"
#include "chunked_queue.h"
#include "dvrplugin.h"

// The events waiting for delivery, in arrival order, and the loop that
// hands them out on the main thread until a stop is requested.
//
// Threads: any thread appends, requests the stop, wakes the loop and asks
// how many events wait; the main thread alone runs the loop.
//
// Locks: `mutex` guards the queue and the backlog peak, and every wait of
// the loop; the stop flag is written under it, so that a loop about to wait
// cannot miss it, and read without it by raisers. It is never held while an
// event is delivered nor while another lock is taken.
class EventQueue {
public:
    // Events queued at once (a few hundred kilobytes of queue and data copies).
    static constexpr std::size_t LARGE_BACKLOG = 4096;
    // The trim waits until raising has paused this long: not again and again
    // through a burst whose queue keeps draining.
    static constexpr auto QUIET_BEFORE_TRIM = std::chrono::milliseconds(100);

    // The events' data are copies made by `copies`.
    explicit EventQueue(BufferHolderTable &copies) : copies(copies) {}
    // Events never delivered (the loop never ran) still own their data copies.
    ~EventQueue();
    EventQueue(const EventQueue &) = delete;
    EventQueue &operator=(const EventQueue &) = delete;

    // EVENT_OK, EVENT_REFUSED once a stop was requested, or EVENT_NO_MEMORY.
    // The stop flag is checked again under the lock under which the loop
    // takes its last look at the queue: an event accepted here is always
    // delivered, even when a stop was requested since the raiser's check.
    int32_t Append(const _EventParmsIn &event) EXCLUDES(mutex);
    void RequestStop() EXCLUDES(mutex);
    bool StopRequested() const { return stopRequested; }
    // Wakes the loop without an event (a buffer released), if it waits: a
    // loop that does not wait has nothing to be woken from, and a release
    // changes nothing it waits for, so the signal costs only a load then.
    void Wake() {
        if (loopWaits.load(std::memory_order_relaxed)) {
            wakeup.NotifyOne();
        }
    }
    // Events taken or queued but not yet delivered.
    std::size_t Waiting() EXCLUDES(mutex);

    // Main thread: deliver(event) for every event in arrival order until a
    // stop is requested and the queue is empty.
    template <typename Deliver>
    void Run(Deliver &&deliver) EXCLUDES(mutex);

private:
    // Waits for events and takes all that wait, by swapping the queue with
    // the loop's empty one: raisers and the loop meet at the lock once per
    // batch, and no event is copied on the way. False once stopped and empty.
    bool TakeBatch() EXCLUDES(mutex);
    // Whether raising paused for QUIET_BEFORE_TRIM with the queue empty.
    bool QuietForTrim() REQUIRES(mutex);
    // The loop's waits on `wakeup`, marked for Wake.
    void WaitForWakeUp() REQUIRES(mutex);
    template <typename Clock, typename Duration>
    bool WaitForWakeUpUntil(const std::chrono::time_point<Clock, Duration> &deadline) REQUIRES(mutex);
    void ReturnBacklogMemory() REQUIRES(mutex);

    BufferHolderTable &copies;

    Mutex mutex;
    CondVar wakeup; // waits under mutex
    ChunkedQueue<_EventParmsIn> queue GUARDED_BY(mutex);
    // The longest the queue has been since its memory was last given back.
    std::size_t backlogPeak GUARDED_BY(mutex) = 0;

    // Atomic: written under mutex, read by raisers without it.
    std::atomic<bool> stopRequested{false};
    // Atomic: whether the loop waits on `wakeup`; written under mutex by the
    // loop, read by Wake without it.
    std::atomic<bool> loopWaits{false};
    // The loop's current batch; the main thread's alone.
    ChunkedQueue<_EventParmsIn> batch;
    // Atomic: events of the loop's current batch still to be delivered
    // (taken from the queue, yet waiting all the same); written by the loop.
    std::atomic<std::size_t> batchLeft{0};
};

template <typename Deliver>
void EventQueue::Run(Deliver &&deliver) {
    while (TakeBatch()) {
        while (!batch.Empty()) {
            batchLeft.store(batch.Size() - 1, std::memory_order_relaxed);
            deliver(batch.Front());
            batch.DropFront();
        }
    }
}
