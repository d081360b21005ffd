// The delivery loop: the main thread hands queued events, in arrival order,
// to every plugin that wants them. No lock is held while a plugin is called,
// so plugins may raise events from inside Write and IOCTL.
#include <algorithm>
#include <array>
#include <chrono>
#include <mutex>
#include <new>

#include <malloc.h>

#include "core/dvrcore.h"
#include "event/delivery_holds.h"
#include "event/event_matching.h"
#include "log/log_message.h"
#include "plugin_call_records.h"

namespace {

// Events queued at once (a few hundred kilobytes of queue and data copies).
constexpr std::size_t LARGE_BACKLOG = 4096;
// The trim waits until raising has paused this long: not again and again
// through a burst whose queue keeps draining.
constexpr auto QUIET_BEFORE_TRIM = std::chrono::milliseconds(100);

// Events taken from the queue under one lock: raisers and the loop meet at
// the lock once per batch instead of once per event.
constexpr std::size_t EVENTS_PER_LOCK = 64;

// An empty queue keeps a block map sized for the longest it has been.
void RenewStorage(std::deque<_EventParmsIn> &queue) {
    try {
        std::deque<_EventParmsIn>().swap(queue);
    } catch (const std::bad_alloc &) {
        // The old map stays; the trim still returns the rest.
    }
}

} // namespace

void dvrcore::DeliverEvents() {
    std::array<_EventParmsIn, EVENTS_PER_LOCK> batch;
    for (;;) {
        std::size_t taken = 0;
        {
            std::unique_lock<std::mutex> lock(coreMutex);
            while (eventQueue.empty()) {
                if (stopRequested) {
                    return;
                }
                if (backlogPeak < LARGE_BACKLOG) {
                    coreWakeup.wait(lock);
                } else if (!coreWakeup.wait_for(lock, QUIET_BEFORE_TRIM, [this] {
                               return !eventQueue.empty() || stopRequested;
                           })) {
                    ReturnBacklogMemory(lock);
                }
            }
            backlogPeak = std::max(backlogPeak, eventQueue.size());
            for (; taken < batch.size() && !eventQueue.empty(); ++taken) {
                batch[taken] = eventQueue.front();
                eventQueue.pop_front();
            }
        }
        for (std::size_t i = 0; i < taken; ++i) {
            batchEventsLeft.store(taken - i - 1, std::memory_order_relaxed);
            DeliverEvent(batch[i]);
        }
    }
}

// Free chunks that live chunks keep from the top of their arena stay
// resident until trimmed. Trimming walks every arena, so it is done only
// after a large backlog. Called and returns with the lock held; trims
// without it.
void dvrcore::ReturnBacklogMemory(std::unique_lock<std::mutex> &lock) {
    backlogPeak = 0;
    RenewStorage(eventQueue);
    lock.unlock();
    malloc_trim(0);
    lock.lock();
}

// The main thread is the only writer of `plugins`, so it walks the list
// without the lock.
void dvrcore::DeliverEvent(const _EventParmsIn &event) {
    DeliveryHolds holds(bufferHolders, event.Data, event.DataLength);
    const uint32_t value = DeliveryValue(event.EventType);
    const bool isConfiguration = (event.EventClass & CLASS_CONFIG) != 0;
    for (const PLUGININFO &plugin : plugins) {
        if (isConfiguration && plugin.Info.ID != event.Source) {
            DeliverConfiguration(plugin, event, holds);
        } else if (MatchesMasks(event.EventClass, plugin.Info.EventMasks, value)) {
            DeliverWrite(plugin, event, holds);
        }
    }
    if (holds.Finish()) {
        FreeEventData(event.Data);
    }
}

void dvrcore::DeliverWrite(const PLUGININFO &plugin, const _EventParmsIn &event, DeliveryHolds &holds) {
    if (plugin.Info.WriteEvents == 0 || plugin.Write == nullptr) {
        return;
    }
    holds.HoldFor(plugin.Info.ID);
    _WriteParmsIn in = WriteInRecord(event);
    _WriteParmsOut out = WriteOutRecord();
    mainThreadCall.Begin(plugin.Info.ID, WatchedCall::Write, event.EventClass, event.EventType);
    const int32_t result = plugin.Write(&in, &out);
    FinishWatchedCall(mainThreadCall);
    if (result != 0 || out.Error != 0) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s write returned %d error %d", plugin.Name.c_str(), result,
                 out.Error);
    }
    if (out.Retained == 0) {
        holds.ReleaseFor(plugin.Info.ID);
    }
}

void dvrcore::DeliverConfiguration(const PLUGININFO &plugin, const _EventParmsIn &event, DeliveryHolds &holds) {
    if (plugin.IOCTL == nullptr) {
        return;
    }
    holds.HoldFor(plugin.Info.ID);
    _IoctlParmsIn in = IoctlInRecord(UPDATE_CONFIG, event.DataLength, event.Data);
    _IoctlParmsOut out = IoctlOutRecord(UPDATE_CONFIG);
    mainThreadCall.Begin(plugin.Info.ID, WatchedCall::UpdateConfig, event.EventClass, event.EventType);
    const int32_t result = plugin.IOCTL(&in, &out);
    FinishWatchedCall(mainThreadCall);
    if (result != 0 || out.Error != 0) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s update config returned %d error %d", plugin.Name.c_str(),
                 result, out.Error);
    }
    if (out.Retained == 0) {
        holds.ReleaseFor(plugin.Info.ID);
    }
}
