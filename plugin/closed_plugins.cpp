#include "closed_plugins.h"

#include "log_message.h"

namespace {

// Log lines are printed whatever happens to the event, and releases and
// packets are still carried out: only other events are lost to a closed
// plugin.
bool IsRefusedAfterClose(const _EventParmsIn &event) {
    return (event.EventClass & CLASS_LOG) == 0 || (event.EventType & TYPE_LOG_TEXT) == 0;
}

} // namespace

void ClosedPlugins::MarkClosed(uint32_t id) {
    {
        MutexLock lock(mutex);
        closed.insert(id);
    }
    closingStarted = true;
}

void ClosedPlugins::NoteRaise(const _EventParmsIn &event) {
    if (!IsRefusedAfterClose(event)) {
        return;
    }
    {
        MutexLock lock(mutex);
        if (closed.count(event.Source) == 0 || !reportedLateRaisers.insert(event.Source).second) {
            return;
        }
    }
    SourceNames::FileName name;
    names.CopyFileName(event.Source, name);
    CORE_LOG(LOG_LEVEL_DIAGNOSTIC, "plugin %s raised an event (class 0x%X type 0x%X) after its close: refused", name,
             event.EventClass, event.EventType);
}
