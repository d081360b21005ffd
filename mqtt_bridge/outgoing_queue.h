#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

struct OutgoingMessage {
    enum class Kind : uint8_t {
        Plain,  // the bridge's own: documents
        Event,  // an event's data: source, class, type
        Log,    // a log line's text: source, level
        Answer, // a command's answer: correlation
    };

    std::string topic;
    std::string payload;
    Kind kind = Kind::Plain;
    uint32_t source = 0;
    uint32_t eventClass = 0;
    uint32_t eventType = 0;
    uint32_t level = 0;
    int64_t timeMs = 0;    // when the bridge was given the event, milliseconds since 1970
    uint64_t sequence = 0; // the bridge's count of events and log lines, from 1
    std::string correlation;
};

// The messages waiting for the broker, oldest first: log lines and events, which are published
// once and not retained. Bounded by a number of messages and of bytes (topic, payload and a
// fixed charge per message); when full it drops the oldest, so that the newest are kept while
// the broker is away, and counts every message it dropped. A message that alone is above the
// byte bound is dropped without being copied.
//
// Thread-safe: the core's thread pushes, the network thread takes; every operation runs under
// the queue's own lock and calls nothing outside.
class OutgoingQueue {
public:
    // What a message costs besides its topic and payload: the strings' and the deque's own parts.
    static constexpr std::size_t MESSAGE_OVERHEAD = 96;

    OutgoingQueue(std::size_t messageLimit, std::size_t byteLimit);

    // Copies the message in; true when the queue was empty before, so the taker needs a wake-up.
    bool Push(const std::string &topic, const char *payload, std::size_t length);
    // The same for a message already made, with its facts.
    bool Push(OutgoingMessage message);
    std::optional<OutgoingMessage> Take();
    uint64_t Dropped() const;
    std::size_t Size() const;
    std::size_t Bytes() const;

private:
    static std::size_t Cost(const OutgoingMessage &message);

    const std::size_t messageLimit;
    const std::size_t byteLimit;
    mutable std::mutex mutex;
    // Guarded by mutex.
    std::deque<OutgoingMessage> messages;
    std::size_t bytes = 0;
    uint64_t dropped = 0;
};
