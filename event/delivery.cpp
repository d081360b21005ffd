#include "delivery.h"

#include "delivery_holds.h"
#include "event_matching.h"
#include "log_message.h"
#include "plugin_call_records.h"

bool Delivery::Deliver(const _EventParmsIn &event) {
    DeliveryHolds holds(holders, event.Data);
    const SelectedMasks masks(event.EventClass, DeliveryValue(event.EventType));
    if ((event.EventClass & CLASS_CONFIG) != 0) {
        for (const PLUGININFO &plugin : plugins) {
            if (plugin.Info.ID != event.Source) {
                UpdateConfiguration(plugin, event, holds);
            } else if (masks.Match(plugin.Info.EventMasks)) {
                Write(plugin, event, holds);
            }
        }
    } else {
        for (const PLUGININFO &plugin : plugins) {
            if (masks.Match(plugin.Info.EventMasks)) {
                Write(plugin, event, holds);
            }
        }
    }
    return holds.Finish();
}

void Delivery::Write(const PLUGININFO &plugin, const _EventParmsIn &event, DeliveryHolds &holds) {
    if (plugin.Info.WriteEvents == 0 || plugin.Write == nullptr) {
        return;
    }
    holds.HoldFor(plugin.Info.ID);
    _WriteParmsIn in = WriteInRecord(event);
    _WriteParmsOut out = WriteOutRecord();
    call.Begin(plugin.Info.ID, WatchedCall::Write, event.EventClass, event.EventType);
    const int32_t result = plugin.Write(&in, &out);
    EndCall();
    if (result != 0 || out.Error != 0) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s write returned %d error %d", plugin.Name.c_str(), result, out.Error);
    }
    if (out.Retained != 0 && !holds.KeepFor(plugin.Info.ID)) {
        RefuseRetention(plugin, event.Data, holds);
    }
}

void Delivery::UpdateConfiguration(const PLUGININFO &plugin, const _EventParmsIn &event, DeliveryHolds &holds) {
    if (plugin.IOCTL == nullptr) {
        return;
    }
    holds.HoldFor(plugin.Info.ID);
    _IoctlParmsIn in = IoctlInRecord(UPDATE_CONFIG, event.DataLength, event.Data);
    _IoctlParmsOut out = IoctlOutRecord(UPDATE_CONFIG);
    call.Begin(plugin.Info.ID, WatchedCall::UpdateConfig, event.EventClass, event.EventType);
    const int32_t result = plugin.IOCTL(&in, &out);
    EndCall();
    if (result != 0 || out.Error != 0) {
        CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s update config returned %d error %d", plugin.Name.c_str(), result,
                 out.Error);
    }
    if (out.Retained != 0 && !holds.KeepFor(plugin.Info.ID)) {
        RefuseRetention(plugin, event.Data, holds);
    }
}

// A retention whose hold could not be recorded is refused: the plugin holds
// nothing it could release, and the core keeps the buffer until it stops
// rather than free it under the plugin.
void Delivery::RefuseRetention(const PLUGININFO &plugin, const void *data, DeliveryHolds &holds) {
    holds.KeepForGood();
    CORE_LOG(LOG_LEVEL_WARNING, "plugin %s cannot retain buffer %p: no memory to record its hold, the core keeps it",
             plugin.Name.c_str(), data);
}

// Only a call reported as running long costs more than the slot's own stores.
void Delivery::EndCall() {
    if (const auto report = call.End()) {
        longCallEnded(*report);
    }
}
