#include "event_queue.h"

#include <new>

#include <malloc.h>

EventQueue::~EventQueue() {
    MutexLock lock(mutex);
    queue.ForEach([this](const _EventParmsIn &event) { copies.Free(event.Data); });
}

int32_t EventQueue::Append(const _EventParmsIn &event) {
    try {
        MutexLock lock(mutex);
        if (stopRequested) {
            return EVENT_REFUSED;
        }
        queue.PushBack(event);
    } catch (const std::bad_alloc &) {
        return EVENT_NO_MEMORY;
    }
    wakeup.NotifyOne();
    return EVENT_OK;
}

void EventQueue::RequestStop() {
    {
        MutexLock lock(mutex);
        stopRequested = true;
    }
    wakeup.NotifyOne();
}

std::size_t EventQueue::Waiting() {
    const std::size_t taken = batchLeft.load(std::memory_order_relaxed);
    MutexLock lock(mutex);
    return taken + queue.Size();
}

bool EventQueue::TakeBatch() {
    MutexLock lock(mutex);
    while (queue.Empty()) {
        if (stopRequested) {
            return false;
        }
        if (backlogPeak < LARGE_BACKLOG) {
            WaitForWakeUp();
        } else if (QuietForTrim()) {
            ReturnBacklogMemory();
        }
    }
    backlogPeak = std::max(backlogPeak, queue.Size());
    batchLeft.store(queue.Size(), std::memory_order_relaxed);
    queue.Swap(batch);
    return true;
}

void EventQueue::WaitForWakeUp() {
    loopWaits.store(true, std::memory_order_relaxed);
    wakeup.Wait(mutex);
    loopWaits.store(false, std::memory_order_relaxed);
}

template <typename Clock, typename Duration>
bool EventQueue::WaitForWakeUpUntil(const std::chrono::time_point<Clock, Duration> &deadline) {
    loopWaits.store(true, std::memory_order_relaxed);
    const bool woken = wakeup.WaitUntil(mutex, deadline);
    loopWaits.store(false, std::memory_order_relaxed);
    return woken;
}

bool EventQueue::QuietForTrim() {
    const auto deadline = std::chrono::steady_clock::now() + QUIET_BEFORE_TRIM;
    while (queue.Empty() && !stopRequested) {
        if (!WaitForWakeUpUntil(deadline)) {
            return queue.Empty() && !stopRequested;
        }
    }
    return false;
}

// The copies' empty slabs go back to malloc, and free chunks that live
// chunks keep from the top of their arena stay resident until trimmed.
// Trimming walks every arena, so it is done only after a large backlog, and
// without the lock.
void EventQueue::ReturnBacklogMemory() {
    backlogPeak = 0;
    queue.Release();
    batch.Release();
    mutex.Unlock();
    copies.ReturnFreeMemory();
    malloc_trim(0);
    mutex.Lock();
}
