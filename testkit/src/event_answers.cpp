// The kit's event entry: what the plugin raises is captured and answered as
// the core would answer it.
#include <cstring>
#include <exception>
#include <shared_mutex>
#include <stdexcept>

#include "kit_state.h"

namespace dvrtest {

namespace {

// The plugin's event entry carries no context: the one kit that is loaded
// answers. Raisers hold the lock shared, so a kit is never destroyed under a
// plugin thread that is still raising.
std::shared_mutex currentKitMutex;
PluginUnderTest::State *currentKit = nullptr;

int32_t KitEventEntry(_EventParmsIn *in, _EventParmsOut *out) {
    if (in == nullptr || out == nullptr) {
        return 0;
    }
    try {
        std::shared_lock<std::shared_mutex> lock(currentKitMutex);
        if (currentKit == nullptr) {
            out->Result = EVENT_REFUSED;
            return 0;
        }
        return currentKit->Answer(*in, *out);
    } catch (const std::exception &) {
        // Nothing may cross into the plugin; allocation is the only source.
        out->Result = EVENT_NO_MEMORY;
        return 0;
    }
}

RaisedEvent Describe(const _EventParmsIn &in, EventKind kind) {
    RaisedEvent event;
    event.Kind = kind;
    event.Source = in.Source;
    event.JobTag = in.JobTag;
    event.EventClass = in.EventClass;
    event.EventType = in.EventType;
    std::memcpy(event.Params, in.Params, sizeof event.Params);
    event.DataLength = in.DataLength;
    event.Address = in.Data;
    if (kind != EventKind::Release && in.Data != nullptr && in.DataLength != 0) {
        const auto *bytes = static_cast<const uint8_t *>(in.Data);
        event.Data.assign(bytes, bytes + in.DataLength);
    }
    return event;
}

bool IsDiagnosticLog(const _EventParmsIn &in) {
    return (in.EventClass & CLASS_LOG) != 0 && (in.EventType & TYPE_LOG_TEXT) != 0 &&
           in.Params[EVENT_PARAM_LEVEL] == LOG_LEVEL_DIAGNOSTIC;
}

} // namespace

EventEntryPoint AttachKit(PluginUnderTest::State *kit) {
    std::unique_lock<std::shared_mutex> lock(currentKitMutex);
    if (currentKit != nullptr) {
        throw std::logic_error("dvrtest: another PluginUnderTest is alive in this process");
    }
    currentKit = kit;
    return KitEventEntry;
}

void DetachKit(PluginUnderTest::State *kit) {
    std::unique_lock<std::shared_mutex> lock(currentKitMutex);
    if (currentKit == kit) {
        currentKit = nullptr;
    }
}

int32_t PluginUnderTest::State::Answer(const _EventParmsIn &in, _EventParmsOut &out) {
    if (in.EventClass == CLASS_RELEASE) {
        out.Result = AcceptRelease(in);
        Capture(Describe(in, EventKind::Release), out.Result);
    } else if (in.EventClass == CLASS_TO_SUPERVISOR) {
        RaisedEvent event = Describe(in, EventKind::ToSupervisor);
        // The buffer is the kit's now, accepted or not.
        MallocBuffer owned(in.Data);
        out.Result = AcceptSend(event);
        Capture(std::move(event), out.Result);
    } else if (in.Source == JOB_CONTROL_SOURCE && in.EventClass == CLASS_CANCEL_JOB) {
        CancelJob(in.JobTag);
        out.Result = EVENT_OK;
        Capture(Describe(in, EventKind::JobCancel), out.Result);
    } else if (in.Source == JOB_CONTROL_SOURCE) {
        StartJob(in);
        out.Result = EVENT_OK;
        Capture(Describe(in, EventKind::JobStart), out.Result);
    } else if (IsDiagnosticLog(in)) {
        // Console-only lines: the core leaves the raiser's Result as it was.
        Capture(Describe(in, EventKind::Ordinary), out.Result);
    } else {
        out.Result = AcceptOrdinary(in);
        Capture(Describe(in, EventKind::Ordinary), out.Result);
    }
    return 0;
}

// Buffers the plugin holds are keyed by address; a release in any other name
// than the plugin's own, or of a buffer it does not hold, frees nothing.
int32_t PluginUnderTest::State::AcceptRelease(const _EventParmsIn &in) {
    std::lock_guard<std::mutex> lock(mutex);
    const auto held = retained.find(in.Data);
    if (in.Data == nullptr || in.Source != info.ID || in.Source == CORE_SOURCE || held == retained.end()) {
        ++unmatchedReleases;
    } else {
        retained.erase(held);
    }
    return EVENT_OK;
}

int32_t PluginUnderTest::State::AcceptSend(const RaisedEvent &event) {
    std::lock_guard<std::mutex> lock(mutex);
    if (linkClosed) {
        return EVENT_REFUSED;
    }
    packets.push_back(SupervisorPacket{event.Data});
    return EVENT_OK;
}

// Tagged events come only from a job thread whose job is not cancelled.
int32_t PluginUnderTest::State::AcceptOrdinary(const _EventParmsIn &in) {
    std::lock_guard<std::mutex> lock(mutex);
    if (stopping) {
        return EVENT_REFUSED;
    }
    if (in.JobTag != 0 &&
        (cancelledJobs.count(in.JobTag) != 0 || jobThreadIds.count(std::this_thread::get_id()) == 0)) {
        return EVENT_REFUSED;
    }
    return EVENT_OK;
}

void PluginUnderTest::State::Capture(RaisedEvent event, int32_t result) {
    event.Result = result;
    std::lock_guard<std::mutex> lock(mutex);
    event.FromJobThread = jobThreadIds.count(std::this_thread::get_id()) != 0;
    events.push_back(std::move(event));
    changed.notify_all();
}

} // namespace dvrtest

// Plugins may also call the entry by name, as the core exports it; the kit's
// link options export this one from the test executable.
extern "C" int32_t FlatPluginEvent(_EventParmsIn *In, _EventParmsOut *Out) { return dvrtest::KitEventEntry(In, Out); }
