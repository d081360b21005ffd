#include "log_message.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "plugin_call_records.h"

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

    _EventParmsIn in = EventRecord(source, CLASS_LOG, TYPE_FROM_CORE | TYPE_LOG_TEXT,
                                   static_cast<uint32_t>(std::strlen(text) + 1), text);
    in.Params[EVENT_PARAM_LEVEL] = level;
    _EventParmsOut out = EventResultRecord();
    entry(&in, &out);
}
