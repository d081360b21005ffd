// The test's side of the kit: the plugin's life in the core's order, and
// what the plugin raised.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "kit_state.h"
#include "plugin_call_records.h"

namespace dvrtest {

namespace {

// A call the core would never make at this point is the test's mistake: it
// is reported to the test instead of reaching a plugin that cannot expect it.
void RequireOrder(bool inOrder, const std::string &mistake) {
    if (!inOrder) {
        throw std::logic_error("dvrtest: " + mistake);
    }
}

// The delivery loop runs only between the opening of every plugin and the
// stop.
void RequireDelivering(const PluginUnderTest::State &state, const char *call) {
    RequireOrder(state.opened, std::string(call) + " before Open: the core delivers events only to opened plugins");
    RequireOrder(!state.closed && !state.unloaded,
                 std::string(call) + " after Close or Unload: the core delivers nothing once the stop has begun");
}

std::string LeakLine(const RetainedBuffer &buffer) {
    char line[128];
    std::snprintf(line, sizeof line,
                  "holds %" PRIu32 " bytes of an event of class 0x%08" PRIX32 " type 0x%08" PRIX32 "\n",
                  buffer.DataLength, buffer.EventClass, buffer.EventType);
    return line;
}

} // namespace

PluginUnderTest::PluginUnderTest(const std::string &libraryPath) : state(new State(libraryPath)) {
    state->eventEntry = AttachKit(state.get());
}

// As the core's stop: close and unload what is loaded, and only then let go
// of the event entry and the library. A destructor cannot throw: what went
// wrong is told on standard error. A state whose threads still run stays.
PluginUnderTest::~PluginUnderTest() {
    try {
        Close();
        Unload();
    } catch (const std::exception &failure) {
        std::fprintf(stderr, "%s\n", failure.what());
    }
    DetachKit(state.get());
    if (state->Abandoned()) {
        static_cast<void>(state.release());
    }
}

// Load and Open run once each, as in the core (a failed Load may be tried
// again).
CallResult PluginUnderTest::Load() {
    RequireOrder(!state->loaded, "Load called a second time: the core loads a plugin once");
    return state->CallLoad();
}

CallResult PluginUnderTest::Open() {
    RequireOrder(state->loaded, "Open before a successful Load: the core opens only loaded plugins");
    RequireOrder(!state->closed && !state->unloaded, "Open after Close or Unload: the core never opens a plugin again");
    RequireOrder(!state->opened, "Open called a second time: the core opens a plugin once");
    return state->CallOpen();
}

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

std::vector<std::string> PluginUnderTest::ExportedEntries() const {
    const PluginEntries &entries = state->entries;
    const std::pair<bool, const char *> named[] = {
        {entries.Load != nullptr, ENTRY_LOAD}, {entries.Unload != nullptr, ENTRY_UNLOAD},
        {entries.Open != nullptr, ENTRY_OPEN}, {entries.Close != nullptr, ENTRY_CLOSE},
        {entries.Read != nullptr, ENTRY_READ}, {entries.Write != nullptr, ENTRY_WRITE},
        {entries.Seek != nullptr, ENTRY_SEEK}, {entries.IOCTL != nullptr, ENTRY_IOCTL}};
    std::vector<std::string> exported;
    for (const auto &[present, name] : named) {
        if (present) {
            exported.push_back(name);
        }
    }
    return exported;
}

DeliveryResult PluginUnderTest::Write(const Event &event) {
    RequireDelivering(*state, "Write");
    return state->Deliver(event);
}

DeliveryResult PluginUnderTest::UpdateConfig(const std::string &document) {
    RequireDelivering(*state, "UpdateConfig");
    return state->Deliver(DataEvent(CORE_SOURCE, CLASS_CONFIG, TYPE_FROM_CORE | TYPE_DOCUMENT, document));
}

// Packets reach a loaded plugin from before its Open until it is unloaded.
CallResult PluginUnderTest::SendPacket(uint32_t address, uint32_t packetType, const std::string &payload) {
    const IpcHeader header{static_cast<uint32_t>(sizeof header + payload.size()), address, packetType, 0};
    Bytes packet(sizeof header + payload.size());
    std::memcpy(packet.data(), &header, sizeof header);
    std::copy(payload.begin(), payload.end(), packet.begin() + sizeof header);
    return SendPacket(packet);
}

CallResult PluginUnderTest::SendPacket(const Bytes &packet) {
    RequireOrder(state->loaded,
                 "SendPacket before a successful Load: the core forwards packets only to loaded plugins");
    RequireOrder(!state->unloaded, "SendPacket after Unload: the core forwards nothing to an unloaded plugin");
    return state->CallPacket(packet);
}

bool PluginUnderTest::StartJob(uint32_t jobTag, uint32_t eventClass, uint32_t eventType, const Bytes &data) {
    _EventParmsIn start = EventRecord(JOB_CONTROL_SOURCE, eventClass, eventType, static_cast<uint32_t>(data.size()),
                                      data.empty() ? nullptr : const_cast<uint8_t *>(data.data()));
    start.JobTag = jobTag;
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
        buffers.push_back({address, holding.Length, holding.EventClass, holding.EventType});
    }
    return buffers;
}

std::string PluginUnderTest::LeakReport() const {
    std::string report;
    for (const RetainedBuffer &buffer : RetainedBuffers()) {
        report += LeakLine(buffer);
    }
    return report;
}

void PluginUnderTest::SetLongCallLimit(std::chrono::milliseconds limit, LongCalls what) {
    state->longCallLimit = limit;
    state->longCalls = what;
}

std::vector<std::string> PluginUnderTest::LongCallReports() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->longCallReports;
}

void PluginUnderTest::SetThreadWaitLimit(std::chrono::milliseconds limit) { state->threadWaitLimit = limit; }

std::size_t PluginUnderTest::UnmatchedReleases() const {
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->unmatchedReleases;
}

} // namespace dvrtest
