// Building events for the plugin and reading what it raised.
#include <cstring>
#include <new>

#include <dlfcn.h>

#include "kit_state.h"

namespace dvrtest {

void LibraryCloser::operator()(void *handle) const { dlclose(handle); }

MallocBuffer CopyToMalloc(const void *data, std::size_t length) {
    if (data == nullptr || length == 0) {
        return nullptr;
    }
    MallocBuffer copy(std::malloc(length));
    if (!copy) {
        throw std::bad_alloc();
    }
    std::memcpy(copy.get(), data, length);
    return copy;
}

Event DataEvent(uint32_t source, uint32_t eventClass, uint32_t eventType, const Bytes &data) {
    Event event;
    event.Source = source;
    event.EventClass = eventClass;
    event.EventType = eventType;
    event.Data = data;
    return event;
}

Event DataEvent(uint32_t source, uint32_t eventClass, uint32_t eventType, const std::string &text) {
    return DataEvent(source, eventClass, eventType, Bytes(text.begin(), text.end()));
}

Event LogEvent(uint32_t source, uint32_t level, const std::string &text) {
    Event event = DataEvent(source, CLASS_LOG, TYPE_LOG_TEXT, Bytes(text.begin(), text.end()));
    event.Data.push_back(0);
    event.Params[EVENT_PARAM_LEVEL] = level;
    return event;
}

bool RaisedEvent::IsLog() const { return (EventClass & CLASS_LOG) != 0 && (EventType & TYPE_LOG_TEXT) != 0; }

uint32_t RaisedEvent::LogLevel() const { return Params[EVENT_PARAM_LEVEL]; }

std::string RaisedEvent::Text() const {
    if (Data.empty()) {
        return std::string();
    }
    const auto *begin = reinterpret_cast<const char *>(Data.data());
    return std::string(begin, strnlen(begin, Data.size()));
}

namespace {

uint32_t HeaderWord(const Bytes &packet, std::size_t offset) {
    if (packet.size() < sizeof(IpcHeader)) {
        return 0;
    }
    uint32_t word = 0;
    std::memcpy(&word, packet.data() + offset, sizeof word);
    return word;
}

} // namespace

uint32_t SupervisorPacket::Address() const { return HeaderWord(Data, offsetof(IpcHeader, Address)); }

uint32_t SupervisorPacket::PacketType() const { return HeaderWord(Data, offsetof(IpcHeader, PacketType)); }

std::string SupervisorPacket::Payload() const {
    if (Data.size() <= sizeof(IpcHeader)) {
        return std::string();
    }
    return std::string(Data.begin() + sizeof(IpcHeader), Data.end());
}

} // namespace dvrtest
