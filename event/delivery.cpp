// The delivery loop: the main thread hands queued events, in arrival order,
// to every plugin that wants them. No lock is held while a plugin is called,
// so plugins may raise events from inside Write and IOCTL.
#include <algorithm>
#include <iterator>
#include <mutex>

#include "core/dvrcore.h"
#include "event/event_matching.h"
#include "log/log_message.h"

namespace {

_WriteParmsIn WriteRecordFor(const _EventParmsIn &event) {
    _WriteParmsIn in{};
    in.Size = sizeof in;
    in.Version = 1;
    in.DataLength = event.DataLength;
    in.Data = event.Data;
    in.Source = event.Source;
    in.JobTag = event.JobTag;
    in.EventClass = event.EventClass;
    in.EventType = event.EventType;
    static_assert(sizeof in.Params == sizeof event.Params, "Params are copied whole");
    std::copy(std::begin(event.Params), std::end(event.Params), std::begin(in.Params));
    return in;
}

} // namespace

void dvrcore::DeliverEvents() {
    for (;;) {
        _EventParmsIn event;
        {
            std::unique_lock<std::mutex> lock(coreMutex);
            while (eventQueue.empty()) {
                if (stopRequested) {
                    return;
                }
                coreWakeup.wait(lock);
            }
            event = eventQueue.front();
            eventQueue.pop_front();
        }
        DeliverEvent(event);
    }
}

// The main thread is the only writer of `plugins`, so it walks the list
// without the lock.
void dvrcore::DeliverEvent(const _EventParmsIn &event) {
    bufferHolders.Hold(event.Data, CORE_SOURCE);
    const uint32_t value = DeliveryValue(event.EventType);
    const bool isConfiguration = (event.EventClass & CLASS_CONFIG) != 0;
    for (const PLUGININFO &plugin : plugins) {
        if (isConfiguration && plugin.Info.ID != event.Source) {
            DeliverConfiguration(plugin, event);
        } else if (MatchesMasks(event.EventClass, plugin.Info.EventMasks, value)) {
            DeliverWrite(plugin, event);
        }
    }
    if (bufferHolders.Release(event.Data, CORE_SOURCE)) {
        FreeEventData(event.Data);
    }
}

void dvrcore::DeliverWrite(const PLUGININFO &plugin, const _EventParmsIn &event) {
    if (plugin.Info.WriteEvents == 0 || plugin.Write == nullptr) {
        return;
    }
    bufferHolders.Hold(event.Data, plugin.Info.ID);
    _WriteParmsIn in = WriteRecordFor(event);
    _WriteParmsOut out{};
    out.Size = sizeof out;
    out.Version = 1;
    const int32_t result = plugin.Write(&in, &out);
    if (result != 0 || out.Error != 0) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s write returned %d error %d", plugin.Name.c_str(), result,
                 out.Error);
    }
    if (out.Retained == 0) {
        bufferHolders.Release(event.Data, plugin.Info.ID);
    }
}

void dvrcore::DeliverConfiguration(const PLUGININFO &plugin, const _EventParmsIn &event) {
    if (plugin.IOCTL == nullptr) {
        return;
    }
    bufferHolders.Hold(event.Data, plugin.Info.ID);
    _IoctlParmsIn in{};
    in.Size = sizeof in;
    in.Version = 1;
    in.Code = UPDATE_CONFIG;
    in.DataBlock = {sizeof in.DataBlock, 1, event.DataLength, event.Data};
    _IoctlParmsOut out{};
    out.Size = sizeof out;
    out.Version = 1;
    out.Code = UPDATE_CONFIG;
    out.Block = {sizeof out.Block, 1};
    const int32_t result = plugin.IOCTL(&in, &out);
    if (result != 0 || out.Error != 0) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s update config returned %d error %d", plugin.Name.c_str(),
                 result, out.Error);
    }
    if (out.Retained == 0) {
        bufferHolders.Release(event.Data, plugin.Info.ID);
    }
}
