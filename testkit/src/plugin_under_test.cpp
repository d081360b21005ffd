// The test's side of the kit: the plugin's life in the core's order, and
// what the plugin raised.
#include <algorithm>
#include <cstring>

#include "kit_state.h"

namespace dvrtest {

PluginUnderTest::PluginUnderTest(const std::string &libraryPath) : state(new State(libraryPath)) {
    state->eventEntry = AttachKit(state.get());
}

// As the core's stop: close and unload what is loaded, and only then let go
// of the event entry and the library.
PluginUnderTest::~PluginUnderTest() {
    Close();
    Unload();
    DetachKit(state.get());
}

// Each step runs once, as in the core; a repeated call is not made (a failed
// Load may be tried again).
CallResult PluginUnderTest::Load() { return state->loaded ? CallResult() : state->CallLoad(); }

CallResult PluginUnderTest::Open() { return state->opened ? CallResult() : state->CallOpen(); }

CallResult PluginUnderTest::Close() { return !state->loaded || state->closed ? CallResult() : state->CallClose(); }

// A plugin whose Load failed is never unloaded, but its threads are joined.
CallResult PluginUnderTest::Unload() {
    if (state->unloaded) {
        return CallResult();
    }
    if (!state->loaded) {
        state->JoinThreads();
        return CallResult();
    }
    return state->CallUnload();
}

const _LoadParmsOut &PluginUnderTest::Info() const { return state->info; }

DeliveryResult PluginUnderTest::Write(const Event &event) { return state->Deliver(event); }

DeliveryResult PluginUnderTest::UpdateConfig(const std::string &document) {
    return state->Deliver(DataEvent(CORE_SOURCE, CLASS_CONFIG, TYPE_FROM_CORE | TYPE_DOCUMENT, document));
}

CallResult PluginUnderTest::SendPacket(uint32_t address, uint32_t packetType, const std::string &payload) {
    const IpcHeader header{static_cast<uint32_t>(sizeof header + payload.size()), address, packetType, 0};
    Bytes packet(sizeof header);
    std::memcpy(packet.data(), &header, sizeof header);
    packet.insert(packet.end(), payload.begin(), payload.end());
    return state->CallPacket(std::move(packet));
}

CallResult PluginUnderTest::SendPacket(const Bytes &packet) { return state->CallPacket(packet); }

bool PluginUnderTest::StartJob(uint32_t jobTag, uint32_t eventClass, uint32_t eventType, const Bytes &data) {
    _EventParmsIn start{};
    start.Size = sizeof start;
    start.Version = 1;
    start.DataLength = static_cast<uint32_t>(data.size());
    start.Data = data.empty() ? nullptr : const_cast<uint8_t *>(data.data());
    start.Source = JOB_CONTROL_SOURCE;
    start.JobTag = jobTag;
    start.EventClass = eventClass;
    start.EventType = eventType;
    return state->StartJob(start);
}

void PluginUnderTest::CancelJob(uint32_t jobTag) { state->CancelJob(jobTag); }

bool PluginUnderTest::WaitForJobs(std::chrono::milliseconds timeout) { return state->WaitForJobs(timeout); }

void PluginUnderTest::CloseSupervisorLink() {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->linkClosed = true;
}

std::vector<RaisedEvent> PluginUnderTest::Events() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->events;
}

std::vector<RaisedEvent> PluginUnderTest::Events(EventKind kind) const {
    std::vector<RaisedEvent> matching;
    std::lock_guard<std::mutex> lock(state->mutex);
    std::copy_if(state->events.begin(), state->events.end(), std::back_inserter(matching),
                 [kind](const RaisedEvent &event) { return event.Kind == kind; });
    return matching;
}

std::vector<SupervisorPacket> PluginUnderTest::Packets() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->packets;
}

bool PluginUnderTest::WaitForEvents(std::size_t count, std::chrono::milliseconds timeout) const {
    return WaitUntil([count](const std::vector<RaisedEvent> &events) { return events.size() >= count; }, timeout);
}

bool PluginUnderTest::WaitUntil(const std::function<bool(const std::vector<RaisedEvent> &)> &condition,
                                std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(state->mutex);
    return state->changed.wait_for(lock, timeout, [this, &condition] { return condition(state->events); });
}

std::vector<RetainedBuffer> PluginUnderTest::RetainedBuffers() const {
    std::vector<RetainedBuffer> buffers;
    std::lock_guard<std::mutex> lock(state->mutex);
    for (const auto &[address, holding] : state->retained) {
        buffers.push_back({address, holding.Length});
    }
    return buffers;
}

std::size_t PluginUnderTest::UnmatchedReleases() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->unmatchedReleases;
}

} // namespace dvrtest
