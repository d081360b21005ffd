// The plugin's entries called with records filled as the core fills them.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include <dlfcn.h>

#include "elf_exports.h"

#include "event/event_matching.h"
#include "ipc/packet_stream.h"
#include "kit_state.h"
#include "plugin_call_records.h"

namespace dvrtest {

namespace {

// The core object is opaque to plugins; they get an address that is not null.
char opaqueCore;

// The event as the core queues it: with its private copy of the data.
_EventParmsIn QueuedRecord(const Event &event, void *data) {
    const uint32_t length = data != nullptr ? static_cast<uint32_t>(event.Data.size()) : 0;
    _EventParmsIn queued = EventRecord(event.Source, event.EventClass, event.EventType, length, data);
    queued.JobTag = event.JobTag;
    std::memcpy(queued.Params, event.Params, sizeof queued.Params);
    return queued;
}

template <typename Entry>
Entry Resolve(void *library, const char *name) {
    return reinterpret_cast<Entry>(dlsym(library, name));
}

const char *const EXTERN_C_HINT = "declare the entry points extern \"C\", or define DVRPLUGIN_DECLARE_ENTRY_POINTS "
                                  "before including dvrplugin.h";

std::string CxxNameHint(const std::string &entry, const std::string &cxxName) {
    return "the library exports " + entry + " only under the C++ name " + cxxName +
           ", which the core never looks up: " + EXTERN_C_HINT;
}

// What the core says of a library without Load, with the C++ name when the
// library has one.
std::string MissingLoadText(const std::string &libraryPath) {
    for (const auto &[entry, cxxName] : EntriesUnderCxxNames(ReadElfFacts(libraryPath).exported)) {
        if (entry == ENTRY_LOAD) {
            return CxxNameHint(entry, cxxName);
        }
    }
    return std::string("the library exports no Load (a plugin written in C++: ") + EXTERN_C_HINT + ")";
}

std::string DescribeEvent(const char *call, const Event &event) {
    char text[96];
    std::snprintf(text, sizeof text, "%s (class 0x%08" PRIX32 " type 0x%08" PRIX32 ")", call, event.EventClass,
                  event.EventType);
    return text;
}

} // namespace

PluginUnderTest::State::State(const std::string &libraryPath)
    : libraryPath(libraryPath), library(dlopen(libraryPath.c_str(), RTLD_NOW)) {
    if (!library) {
        throw std::runtime_error(dlerror());
    }
    entries.Load = Resolve<LoadEntryPoint>(library.get(), ENTRY_LOAD);
    entries.Unload = Resolve<UnloadEntryPoint>(library.get(), ENTRY_UNLOAD);
    entries.Open = Resolve<OpenEntryPoint>(library.get(), ENTRY_OPEN);
    entries.Close = Resolve<CloseEntryPoint>(library.get(), ENTRY_CLOSE);
    entries.Read = Resolve<ReadEntryPoint>(library.get(), ENTRY_READ);
    entries.Write = Resolve<WriteEntryPoint>(library.get(), ENTRY_WRITE);
    entries.Seek = Resolve<SeekEntryPoint>(library.get(), ENTRY_SEEK);
    entries.IOCTL = Resolve<IoctlEntryPoint>(library.get(), ENTRY_IOCTL);
    for (const auto &[entry, cxxName] : EntriesUnderCxxNames(ReadElfFacts(libraryPath).exported)) {
        if (entry != ENTRY_LOAD) {
            std::fprintf(stderr, "dvrtest: warning: %s\n", CxxNameHint(entry, cxxName).c_str());
        }
    }
}

CallResult PluginUnderTest::State::CallLoad() {
    if (entries.Load == nullptr) {
        throw std::runtime_error("dvrtest: " + MissingLoadText(libraryPath));
    }
    _LoadParmsIn in = LoadInRecord(&opaqueCore, eventEntry);
    _LoadParmsOut out = LoadOutRecord();
    const CallResult result{true, entries.Load(&in, &out), out.Error};
    {
        // Threads the plugin started in Load may be raising already.
        std::lock_guard<std::mutex> lock(mutex);
        info = out;
    }
    loaded = result.Ok();
    if (loaded) {
        StartWorker();
    }
    return result;
}

CallResult PluginUnderTest::State::CallOpen() {
    _OpenParmsIn in = OpenInRecord();
    _OpenParmsOut out = OpenOutRecord();
    CallResult result;
    if (entries.Open != nullptr) {
        result = {true, entries.Open(&in, &out), 0};
    }
    opened = true;
    // The core starts readers after every plugin is open, whatever Open returned.
    StartReader();
    return result;
}

// Close begins the stop: from its first moment ordinary events are refused.
CallResult PluginUnderTest::State::CallClose() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    closed = true;
    _CloseParmsIn in = CloseInRecord();
    _CloseParmsOut out = CloseOutRecord();
    if (entries.Close == nullptr) {
        return CallResult();
    }
    const int32_t result = entries.Close(&in, &out);
    return {true, result, out.Error};
}

CallResult PluginUnderTest::State::CallUnload() {
    JoinThreads();
    unloaded = true;
    _UnloadParmsIn in = UnloadInRecord();
    _UnloadParmsOut out = UnloadOutRecord();
    if (entries.Unload == nullptr) {
        return CallResult();
    }
    const int32_t result = entries.Unload(&in, &out);
    return {true, result, out.Error};
}

DeliveryResult PluginUnderTest::State::Deliver(const Event &event) {
    const bool isConfiguration = (event.EventClass & CLASS_CONFIG) != 0;
    if (isConfiguration && event.Source != info.ID) {
        if (entries.IOCTL == nullptr) {
            return DeliveryResult();
        }
    } else if (info.WriteEvents == 0 || entries.Write == nullptr ||
               !MatchesMasks(event.EventClass, info.EventMasks, DeliveryValue(event.EventType))) {
        return DeliveryResult();
    }
    MallocBuffer copy = CopyToMalloc(event.Data.data(), event.Data.size());
    void *data = copy.get();
    HoldDuringCall(data, event);
    const bool update = isConfiguration && event.Source != info.ID;
    const auto start = std::chrono::steady_clock::now();
    DeliveryResult result = update ? CallUpdateConfig(event, data) : CallWrite(event, data);
    const auto took = std::chrono::steady_clock::now() - start;
    KeepIfRetained(std::move(copy), result.Retained);
    CheckDuration(DescribeEvent(update ? "IOCTL UPDATE_CONFIG" : "Write", event), took);
    return result;
}

// The core tells of a call over a second while it runs: the delivery loop,
// or the I/O thread, waits for it meanwhile.
void PluginUnderTest::State::CheckDuration(const std::string &call, std::chrono::steady_clock::duration took) {
    if (took <= longCallLimit) {
        return;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    const std::string report = "dvrtest: the plugin's " + call + " ran for " + std::to_string(ms) +
                               " ms, over the limit of " + std::to_string(longCallLimit.count()) +
                               " ms: the core reports such a call, and its other plugins wait for it";
    {
        std::lock_guard<std::mutex> lock(mutex);
        longCallReports.push_back(report);
    }
    if (longCalls == LongCalls::Fail) {
        throw std::runtime_error(report);
    }
    std::fprintf(stderr, "%s\n", report.c_str());
}

DeliveryResult PluginUnderTest::State::CallWrite(const Event &event, void *data) {
    _WriteParmsIn in = WriteInRecord(QueuedRecord(event, data));
    _WriteParmsOut out = WriteOutRecord();
    DeliveryResult result;
    result.Called = true;
    result.Result = entries.Write(&in, &out);
    result.Error = out.Error;
    result.Retained = out.Retained != 0;
    return result;
}

DeliveryResult PluginUnderTest::State::CallUpdateConfig(const Event &event, void *data) {
    _IoctlParmsIn in =
        IoctlInRecord(UPDATE_CONFIG, data != nullptr ? static_cast<uint32_t>(event.Data.size()) : 0, data);
    _IoctlParmsOut out = IoctlOutRecord(UPDATE_CONFIG);
    DeliveryResult result;
    result.Called = true;
    result.Result = entries.IOCTL(&in, &out);
    result.Error = out.Error;
    result.Retained = out.Retained != 0;
    return result;
}

// Only a whole packet, as its length word gives it, is cut from the core's
// stream. The core consumes identity and stop packets itself and forwards
// the rest to the plugin whose ID the address names.
CallResult PluginUnderTest::State::CallPacket(Bytes packet) {
    IpcHeader header{};
    if (packet.size() < sizeof header || packet.size() > IPC_MAX_PACKET_LENGTH || entries.IOCTL == nullptr) {
        return CallResult();
    }
    std::memcpy(&header, packet.data(), sizeof header);
    if (header.PacketLength != packet.size() || header.PacketType == IPC_IDENTITY || header.PacketType == IPC_STOP ||
        !AddressesPlugin(header.Address, info.ID)) {
        return CallResult();
    }
    _IoctlParmsIn in = IoctlInRecord(IPC_PACKET, static_cast<uint32_t>(packet.size()), packet.data());
    _IoctlParmsOut out = IoctlOutRecord(IPC_PACKET);
    const auto start = std::chrono::steady_clock::now();
    const int32_t result = entries.IOCTL(&in, &out);
    char call[96];
    std::snprintf(call, sizeof call, "IOCTL IPC_PACKET (address 0x%08" PRIX32 " type %" PRIu32 ")", header.Address,
                  header.PacketType);
    CheckDuration(call, std::chrono::steady_clock::now() - start);
    return {true, result, out.Error};
}

// The plugin holds the buffer from before its call, so that a release it
// raises during the call is matched; the buffer itself stays with the caller
// until the call has returned.
void PluginUnderTest::State::HoldDuringCall(const void *data, const Event &event) {
    if (data == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    retained[data] = Holding{nullptr, static_cast<uint32_t>(event.Data.size()), event.EventClass, event.EventType};
}

void PluginUnderTest::State::KeepIfRetained(MallocBuffer buffer, bool keep) {
    if (!buffer) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex);
    const auto held = retained.find(buffer.get());
    if (held == retained.end()) {
        return; // released during the call
    }
    if (keep) {
        held->second.Buffer = std::move(buffer);
    } else {
        retained.erase(held);
    }
}

} // namespace dvrtest
