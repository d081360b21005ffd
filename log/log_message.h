#pragma once

#include <cstdint>

#include "dvrplugin.h"

// Size of the text buffer of one log line: at most 511 characters and the NUL.
constexpr int LOG_TEXT_SIZE = 512;

// Formats a line and raises it as a log event through entry (the core passes
// FlatPluginEvent). Callable from any thread; allocates nothing; a null entry
// does nothing and a longer text is cut at 511 characters without a mark.
void LogMessage(uint32_t source, EventEntryPoint entry, uint32_t level, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// The core's own lines: CORE_SOURCE through FlatPluginEvent.
#define CORE_LOG(level, ...) LogMessage(CORE_SOURCE, FlatPluginEvent, (level), __VA_ARGS__)
