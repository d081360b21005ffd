// Console-only lines about what plugins leave behind once they are closed:
// events raised after their Close, which the core refuses, and event
// buffers never given back, summed per plugin after the leak lines.
#include <cinttypes>
#include <mutex>

#include "core/dvrcore.h"
#include "log/log_message.h"

namespace {

// Log lines are printed whatever happens to the event, and releases and
// packets are still carried out: only other events are lost to a closed
// plugin.
bool IsRefusedAfterClose(const _EventParmsIn &event) {
    return (event.EventClass & CLASS_LOG) == 0 || (event.EventType & TYPE_LOG_TEXT) == 0;
}

} // namespace

void dvrcore::MarkClosed(uint32_t id) {
    {
        std::lock_guard<std::mutex> lock(closedPluginsMutex);
        closedPlugins.insert(id);
    }
    closingStarted = true;
}

// Reached only once the closing has begun, so the lock costs the running
// core nothing.
void dvrcore::NoteRaiseAfterClose(const _EventParmsIn &event) {
    if (!IsRefusedAfterClose(event)) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(closedPluginsMutex);
        if (closedPlugins.count(event.Source) == 0 || !reportedLateRaisers.insert(event.Source).second) {
            return;
        }
    }
    DiagnosticName name;
    CopyPluginFileName(event.Source, name);
    CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s raised an event (class 0x%X type 0x%X) after its close: refused", name,
             event.EventClass, event.EventType);
}

void dvrcore::ReportLeakSummary(uint32_t holder, std::size_t buffers, uint64_t bytes) {
    DiagnosticName name;
    CopyPluginFileName(holder, name);
    CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s leaked %zu buffers, %" PRIu64 " bytes", name, buffers, bytes);
}
