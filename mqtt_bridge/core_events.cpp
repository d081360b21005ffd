#include "mqtt_bridge/core_events.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t LINE_SIZE = 512;

_EventParmsIn EventRecord(uint32_t source, uint32_t eventClass, uint32_t eventType, const void *data,
                          std::size_t length) {
    _EventParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.Size = sizeof in;
    in.Version = 1;
    in.DataLength = data ? static_cast<uint32_t>(length) : 0;
    in.Data = const_cast<void *>(data); // the core copies it and never writes to it
    in.Source = source;
    in.EventClass = eventClass;
    in.EventType = eventType;
    return in;
}

} // namespace

void CoreEvents::Log(const char *format, ...) const {
    if (!entry) {
        return;
    }
    char text[LINE_SIZE];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    _EventParmsIn in = EventRecord(source, CLASS_LOG, TYPE_LOG_TEXT, text, std::strlen(text) + 1);
    in.Params[EVENT_PARAM_LEVEL] = LOG_LEVEL_DIAGNOSTIC;
    _EventParmsOut out = {sizeof out, 1, EVENT_OK};
    entry(&in, &out);
}

int32_t CoreEvents::Raise(uint32_t eventClass, uint32_t eventType, const void *data, std::size_t length) const {
    const uint32_t none[EVENT_PARAMS_WORDS] = {};
    return Raise(eventClass, eventType, data, length, none);
}

int32_t CoreEvents::Raise(uint32_t eventClass, uint32_t eventType, const void *data, std::size_t length,
                          const uint32_t (&params)[EVENT_PARAMS_WORDS]) const {
    if (!entry) {
        return EVENT_REFUSED;
    }
    _EventParmsIn in = EventRecord(source, eventClass, eventType, length ? data : nullptr, length);
    std::memcpy(in.Params, params, sizeof in.Params);
    _EventParmsOut out = {sizeof out, 1, EVENT_OK};
    entry(&in, &out);
    return out.Result;
}
