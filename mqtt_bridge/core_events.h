#pragma once

#include <cstddef>
#include <cstdint>

#include "include/dvrplugin.h"

// What the bridge raises on the core's event bus: its console lines and the events that
// commands become. Any thread may use it; it keeps nothing between calls.
class CoreEvents {
public:
    CoreEvents(EventEntryPoint entry, uint32_t source) : entry(entry), source(source) {}

    // A line at level 0: printed by the core and never delivered to plugins, so the bridge's
    // lines about the broker never come back to it as log lines to publish. At most 511
    // characters; never give it a secret.
    void Log(const char *format, ...) const __attribute__((format(printf, 2, 3)));
    // An ordinary event from the bridge; the core copies the data. Answers the event's Result.
    int32_t Raise(uint32_t eventClass, uint32_t eventType, const void *data, std::size_t length) const;
    // The same with the event's Params.
    int32_t Raise(uint32_t eventClass, uint32_t eventType, const void *data, std::size_t length,
                  const uint32_t (&params)[EVENT_PARAMS_WORDS]) const;

private:
    EventEntryPoint entry;
    uint32_t source;
};
