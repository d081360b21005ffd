// The event entry: commands are carried out at once, ordinary events are
// copied and queued for the delivery loop.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <string>

#include "dvrcore.h"
#include "thread_role.h"

namespace {

// With the core's type bit, the kind of event that memory throttling refuses.
constexpr uint32_t THROTTLED_CLASS_BIT = 0x1u;

bool IsLogEvent(const _EventParmsIn &event) {
    return (event.EventClass & CLASS_LOG) != 0 && (event.EventType & TYPE_LOG_TEXT) != 0;
}

bool IsThrottledKind(const _EventParmsIn &event) {
    return (event.EventClass & THROTTLED_CLASS_BIT) != 0 && (event.EventType & TYPE_FROM_CORE) != 0;
}

} // namespace

int32_t dvrcore::PluginEvent(_EventParmsIn *in, _EventParmsOut *out) {
    if (in->EventClass == CLASS_RELEASE) {
        ReleaseBuffer(in->Data, in->Source);
        out->Result = EVENT_OK;
        return 0;
    }
    if (in->EventClass == CLASS_TO_SUPERVISOR) {
        out->Result = SendForPlugin(in->Data, in->DataLength, in->Source);
        return 0;
    }
    if (in->Source == JOB_CONTROL_SOURCE) {
        if (in->EventClass == CLASS_CANCEL_JOB) {
            jobs.Cancel(in->JobTag);
        } else {
            StartJob(*in);
        }
        out->Result = EVENT_OK;
        return 0;
    }
    // The private copy of the raiser's record, passed on by reference until
    // the queue takes it.
    _EventParmsIn event = *in;
    if (IsLogEvent(event)) {
        SinkLogEvent(event);
        // Console-only lines: the caller's Result is left as it was.
        if (event.Params[EVENT_PARAM_LEVEL] == LOG_LEVEL_DIAGNOSTIC) {
            return 0;
        }
    }
    if (closed.ClosingStarted()) {
        closed.NoteRaise(event);
    }
    out->Result = AcceptEvent(event);
    return 0;
}

// Replaces the raiser's data by a private copy, or by null and 0 when there is
// nothing to copy. False when the copy cannot be allocated.
bool dvrcore::CopyEventData(_EventParmsIn &event) {
    if (event.Data == nullptr || event.DataLength == 0) {
        event.Data = nullptr;
        event.DataLength = 0;
        return true;
    }
    event.Data = bufferHolders.Copy(event.Data, event.DataLength, event.EventClass, event.EventType);
    return event.Data != nullptr;
}

int32_t dvrcore::AcceptEvent(_EventParmsIn &event) {
    if (events.StopRequested()) {
        return EVENT_REFUSED;
    }
    if (IsThrottledKind(event) && housekeeper.Throttling()) {
        return EVENT_THROTTLED;
    }
    if (!CopyEventData(event)) {
        return EVENT_NO_MEMORY;
    }
    if (event.JobTag != 0 && !jobs.Admit(event)) {
        bufferHolders.Free(event.Data);
        return EVENT_REFUSED;
    }
    const int32_t result = events.Append(event);
    if (result != EVENT_OK) {
        // Admission may have made a job thread wait for this copy.
        FreeEventData(event.Data);
    }
    return result;
}

// The log text may lack its NUL within DataLength: never let the sink read
// past the buffer the raiser described, whose length 0 leaves an empty text.
void dvrcore::SinkLogEvent(const _EventParmsIn &event) {
    const auto *text = static_cast<const char *>(event.Data);
    const uint32_t level = event.Params[EVENT_PARAM_LEVEL];
    if (text != nullptr && event.DataLength == 0) {
        LogSink(event.Source, level, "");
        return;
    }
    if (text == nullptr || std::memchr(text, 0, event.DataLength) != nullptr) {
        LogSink(event.Source, level, text);
        return;
    }
    const std::string bounded(text, event.DataLength);
    LogSink(event.Source, level, bounded.c_str());
}

// A buffer is freed only when this release removed a hold of its source and
// no holder is left: a release for a buffer its source does not hold (never
// delivered, already released, or never allocated by the core) frees nothing.
// The core's own hold belongs to the delivery loop, which is still using the
// buffer; a release in the core's name is never honoured.
void dvrcore::ReleaseBuffer(void *buffer, uint32_t source) {
    if (source != CORE_SOURCE) {
        if (!jobs.AnyThreads()) {
            // No job thread can be waiting for the buffer: one pass releases and frees.
            bufferHolders.ReleaseHoldFreeingLast(buffer, source);
        } else {
            const auto outcome = bufferHolders.ReleaseHold(buffer, source);
            if (buffer != nullptr && outcome.removedHold && outcome.noHolderLeft) {
                FreeEventData(buffer);
            }
        }
    }
    events.Wake();
}

// Lets a job thread waiting for a data copy go on, then frees the copy. The
// other order would let another job thread's new copy take the freed address
// in between, and its wait would be cleared too.
void dvrcore::FreeEventData(void *data) {
    jobs.WakeWaiters(reinterpret_cast<uintptr_t>(data));
    bufferHolders.Free(data);
}

// Without a core (not built yet, or already destroyed) every event is
// refused, and a buffer handed over for the supervisor is freed as the core
// would have freed it, unless it is a copy the core left behind for the
// plugins that still held it.
extern "C" int32_t FlatPluginEvent(_EventParmsIn *in, _EventParmsOut *out) {
    if (in == nullptr || out == nullptr) {
        return 0;
    }
    // A thread a plugin started gets an alternate signal stack and a name
    // for crash reports the first time it raises an event.
    MeetRaisingThread(in->Source);
    const CoreEntry entry;
    if (entry.Core() == nullptr) {
        if (in->EventClass == CLASS_TO_SUPERVISOR && !BufferHolderTable::IsLeftOver(in->Data)) {
            std::free(in->Data);
        }
        out->Result = EVENT_REFUSED;
        return 0;
    }
    try {
        return entry.Core()->PluginEvent(in, out);
    } catch (const std::exception &) {
        // No exception may cross into a plugin; allocation is the only source.
        out->Result = EVENT_NO_MEMORY;
        return 0;
    }
}
