#include "mqtt_bridge/outgoing_queue.h"

#include <utility>

OutgoingQueue::OutgoingQueue(std::size_t messageLimit, std::size_t byteLimit)
    : messageLimit(messageLimit), byteLimit(byteLimit) {}

std::size_t OutgoingQueue::Cost(const OutgoingMessage &message) {
    return message.topic.size() + message.payload.size() + message.correlation.size() + MESSAGE_OVERHEAD;
}

bool OutgoingQueue::Push(const std::string &topic, const char *payload, std::size_t length) {
    if (topic.size() + length + MESSAGE_OVERHEAD > byteLimit) {
        std::lock_guard<std::mutex> lock(mutex);
        ++dropped;
        return false;
    }
    OutgoingMessage message;
    message.topic = topic;
    message.payload.assign(length ? payload : "", length);
    return Push(std::move(message));
}

bool OutgoingQueue::Push(OutgoingMessage message) {
    // Copied before the lock is taken, so the taker never waits for a copy.
    const std::size_t cost = Cost(message);
    std::lock_guard<std::mutex> lock(mutex);
    if (cost > byteLimit) {
        ++dropped;
        return false;
    }
    while (!messages.empty() && (messages.size() >= messageLimit || bytes + cost > byteLimit)) {
        bytes -= Cost(messages.front());
        messages.pop_front();
        ++dropped;
    }
    const bool wasEmpty = messages.empty();
    messages.push_back(std::move(message));
    bytes += cost;
    return wasEmpty;
}

std::optional<OutgoingMessage> OutgoingQueue::Take() {
    std::lock_guard<std::mutex> lock(mutex);
    if (messages.empty()) {
        return std::nullopt;
    }
    OutgoingMessage message = std::move(messages.front());
    messages.pop_front();
    bytes -= Cost(message);
    return message;
}

uint64_t OutgoingQueue::Dropped() const {
    std::lock_guard<std::mutex> lock(mutex);
    return dropped;
}

std::size_t OutgoingQueue::Size() const {
    std::lock_guard<std::mutex> lock(mutex);
    return messages.size();
}

std::size_t OutgoingQueue::Bytes() const {
    std::lock_guard<std::mutex> lock(mutex);
    return bytes;
}
