// The event entry: commands are carried out at once, ordinary events are
// copied and queued for the delivery loop.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "core/dvrcore.h"

namespace {

bool IsLogEvent(const _EventParmsIn &event) {
    return (event.EventClass & CLASS_LOG) != 0 && (event.EventType & TYPE_LOG_TEXT) != 0;
}

bool IsThrottledKind(const _EventParmsIn &event) {
    return (event.EventClass & 0x1u) != 0 && (event.EventType & TYPE_FROM_CORE) != 0;
}

} // namespace

int32_t dvrcore::PluginEvent(_EventParmsIn *in, _EventParmsOut *out) {
    if (in->EventClass == CLASS_RELEASE) {
        ReleaseBuffer(in->Data, in->Source);
        out->Result = EVENT_OK;
        return 0;
    }
    if (in->EventClass == CLASS_TO_SUPERVISOR) {
        out->Result = SendToSupervisor(in->Data, in->DataLength);
        return 0;
    }
    if (in->Source == JOB_CONTROL_SOURCE) {
        if (in->EventClass == CLASS_CANCEL_JOB) {
            CancelJob(in->JobTag);
        } else {
            StartJob(*in);
        }
        out->Result = EVENT_OK;
        return 0;
    }

    _EventParmsIn event = *in;
    if (IsLogEvent(event)) {
        SinkLogEvent(event);
        if (event.Params[EVENT_PARAM_LEVEL] == LOG_LEVEL_DIAGNOSTIC) {
            return 0;
        }
    }
    if (stopRequested) {
        out->Result = EVENT_REFUSED;
        return 0;
    }
    if (IsThrottledKind(event) && throttling) {
        out->Result = EVENT_THROTTLED;
        return 0;
    }
    if (event.Data != nullptr && event.DataLength != 0) {
        void *copy = std::malloc(event.DataLength);
        if (copy == nullptr) {
            out->Result = EVENT_NO_MEMORY;
            return 0;
        }
        std::memcpy(copy, event.Data, event.DataLength);
        event.Data = copy;
    } else {
        event.Data = nullptr;
        event.DataLength = 0;
    }
    if (event.JobTag != 0 && !AdmitJobEvent(event)) {
        std::free(event.Data);
        out->Result = EVENT_REFUSED;
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(coreMutex);
        eventQueue.push_back(event);
    }
    coreWakeup.notify_one();
    out->Result = EVENT_OK;
    return 0;
}

// The log text may lack its NUL within DataLength: never let the sink read
// past the buffer the raiser described.
void dvrcore::SinkLogEvent(const _EventParmsIn &event) {
    const auto *text = static_cast<const char *>(event.Data);
    const uint32_t level = event.Params[EVENT_PARAM_LEVEL];
    if (text == nullptr || event.DataLength == 0 || std::memchr(text, 0, event.DataLength) != nullptr) {
        LogSink(event.Source, level, text);
        return;
    }
    const std::string bounded(text, event.DataLength);
    LogSink(event.Source, level, bounded.c_str());
}

// A buffer is freed only when this release removed a hold of its source and
// no holder is left: a release for a buffer its source does not hold (never
// delivered, already released, or never allocated by the core) frees nothing.
void dvrcore::ReleaseBuffer(void *buffer, uint32_t source) {
    const auto outcome = bufferHolders.ReleaseHold(buffer, source);
    if (buffer != nullptr && outcome.removedHold && outcome.noHolderLeft) {
        const auto address = reinterpret_cast<uintptr_t>(buffer);
        std::free(buffer);
        WakeJobThreads(address);
    }
    coreWakeup.notify_one();
}

extern "C" int32_t FlatPluginEvent(_EventParmsIn *in, _EventParmsOut *out) {
    dvrcore *core = coreInstance;
    if (core == nullptr || in == nullptr || out == nullptr) {
        return 0;
    }
    try {
        return core->PluginEvent(in, out);
    } catch (const std::exception &) {
        // No exception may cross into a plugin; allocation is the only source.
        out->Result = EVENT_NO_MEMORY;
        return 0;
    }
}
