#include "event_queue.h"

#include <cstdlib>
#include <new>

#include <malloc.h>

namespace {

// An empty queue keeps a block map sized for the longest it has been.
void RenewStorage(std::deque<_EventParmsIn> &queue) {
    try {
        std::deque<_EventParmsIn>().swap(queue);
    } catch (const std::bad_alloc &) {
        // The old map stays; the trim still returns the rest.
    }
}

} // namespace

EventQueue::~EventQueue() {
    MutexLock lock(mutex);
    for (const auto &event : queue) {
        std::free(event.Data);
    }
}

int32_t EventQueue::Append(const _EventParmsIn &event) {
    try {
        MutexLock lock(mutex);
        if (stopRequested) {
            return EVENT_REFUSED;
        }
        queue.push_back(event);
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
    return taken + queue.size();
}

std::size_t EventQueue::TakeBatch(Batch &batch) {
    MutexLock lock(mutex);
    while (queue.empty()) {
        if (stopRequested) {
            return 0;
        }
        if (backlogPeak < LARGE_BACKLOG) {
            wakeup.Wait(mutex);
        } else if (QuietForTrim()) {
            ReturnBacklogMemory();
        }
    }
    backlogPeak = std::max(backlogPeak, queue.size());
    std::size_t taken = 0;
    for (; taken < batch.size() && !queue.empty(); ++taken) {
        batch[taken] = queue.front();
        queue.pop_front();
    }
    return taken;
}

bool EventQueue::QuietForTrim() {
    const auto deadline = std::chrono::steady_clock::now() + QUIET_BEFORE_TRIM;
    while (queue.empty() && !stopRequested) {
        if (!wakeup.WaitUntil(mutex, deadline)) {
            return queue.empty() && !stopRequested;
        }
    }
    return false;
}

// Free chunks that live chunks keep from the top of their arena stay
// resident until trimmed. Trimming walks every arena, so it is done only
// after a large backlog, and without the lock.
void EventQueue::ReturnBacklogMemory() {
    backlogPeak = 0;
    RenewStorage(queue);
    mutex.Unlock();
    malloc_trim(0);
    mutex.Lock();
}
