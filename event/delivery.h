#pragma once

#include <functional>
#include <vector>

#include "call_watch.h"
#include "dvrplugin.h"
#include "buffer_holder_table.h"
#include "plugin_info.h"

class DeliveryHolds;

// Hands one event to every plugin that wants it, in list order: a Write to
// each plugin whose masks take it, and a configuration document through
// IOCTL to every plugin but its source. Each receiver holds the data from
// before its call until it returns without retaining it.
//
// Threads: the main thread alone (the delivery loop). No lock of the core is
// held while a plugin is called, so plugins may raise events from inside
// Write and IOCTL. The plugin list is read without a lock: the main thread
// is its only writer.
class Delivery {
public:
    // A call that was reported as running long has ended: the closing line.
    using LongCallEnded = std::function<void(const WatchedCallReport &)>;

    Delivery(const std::vector<PLUGININFO> &plugins, BufferHolderTable &holders, CallSlot &call,
             LongCallEnded longCallEnded)
        : plugins(plugins), holders(holders), call(call), longCallEnded(std::move(longCallEnded)) {}
    Delivery(const Delivery &) = delete;
    Delivery &operator=(const Delivery &) = delete;

    // True when no holder is left and the data is the caller's to free.
    bool Deliver(const _EventParmsIn &event);

private:
    void Write(const PLUGININFO &plugin, const _EventParmsIn &event, DeliveryHolds &holds);
    void UpdateConfiguration(const PLUGININFO &plugin, const _EventParmsIn &event, DeliveryHolds &holds);
    // After the call: the plugin's hold goes unless it retained the buffer.
    void Settle(const PLUGININFO &plugin, const void *data, bool held, uint32_t retained, DeliveryHolds &holds);
    void EndCall();

    // Constant after construction.
    const std::vector<PLUGININFO> &plugins;
    BufferHolderTable &holders;
    CallSlot &call; // the main thread's
    const LongCallEnded longCallEnded;
};
