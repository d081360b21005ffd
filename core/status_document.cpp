#include "status_document.h"

#include <cstdint>

#include "dvrplugin.h"
#include "kdvr_document.h"

TiXmlDocument MemoryStatusDocument(bool throttling, time_t wallSeconds) {
    TiXmlElement memory("Memory");
    // Readers expect the ID and the time as signed 32-bit decimals.
    memory.SetAttribute("ID", static_cast<int32_t>(CORE_SOURCE));
    memory.SetAttribute("Throttling", throttling ? 1 : 0);
    memory.SetAttribute("Time", static_cast<int32_t>(wallSeconds));
    return KdvrDocument(memory);
}
