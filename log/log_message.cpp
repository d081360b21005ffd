#include "log/log_message.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void LogMessage(uint32_t source, EventEntryPoint entry, uint32_t level, const char *format, ...) {
    if (entry == nullptr) {
        return;
    }
    char text[LOG_TEXT_SIZE];
    va_list arguments;
    va_start(arguments, format);
    if (std::vsnprintf(text, sizeof text, format, arguments) < 0) {
        text[0] = '\0'; // a failed conversion leaves no text to rely on
    }
    va_end(arguments);

    _EventParmsIn in;
    std::memset(&in, 0, sizeof in);
    in.Size = sizeof in;
    in.Version = 1;
    in.DataLength = static_cast<uint32_t>(std::strlen(text) + 1);
    in.Data = text;
    in.Source = source;
    in.EventClass = CLASS_LOG;
    in.EventType = TYPE_FROM_CORE | TYPE_LOG_TEXT;
    in.Params[EVENT_PARAM_LEVEL] = level;
    _EventParmsOut out = {sizeof out, 1, EVENT_OK};
    entry(&in, &out);
}
