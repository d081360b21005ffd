#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

struct OutgoingMessage {
    std::string topic;
    std::string payload;
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
    std::optional<OutgoingMessage> Take();
    uint64_t Dropped() const;
    std::size_t Size() const;
    std::size_t Bytes() const;

private:
    static std::size_t Cost(std::size_t topicLength, std::size_t payloadLength);

    const std::size_t messageLimit;
    const std::size_t byteLimit;
    mutable std::mutex mutex;
    // Guarded by mutex.
    std::deque<OutgoingMessage> messages;
    std::size_t bytes = 0;
    uint64_t dropped = 0;
};
