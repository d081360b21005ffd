#include "mqtt_bridge/outgoing_queue.h"

#include <utility>

OutgoingQueue::OutgoingQueue(std::size_t messageLimit, std::size_t byteLimit)
    : messageLimit(messageLimit), byteLimit(byteLimit) {}

std::size_t OutgoingQueue::Cost(std::size_t topicLength, std::size_t payloadLength) {
    return topicLength + payloadLength + MESSAGE_OVERHEAD;
}

bool OutgoingQueue::Push(const std::string &topic, const char *payload, std::size_t length) {
    const std::size_t cost = Cost(topic.size(), length);
    if (cost > byteLimit) {
        std::lock_guard<std::mutex> lock(mutex);
        ++dropped;
        return false;
    }
    // Copied before the lock is taken, so the taker never waits for a copy.
    OutgoingMessage message{topic, length ? std::string(payload, length) : std::string()};
    std::lock_guard<std::mutex> lock(mutex);
    while (!messages.empty() && (messages.size() >= messageLimit || bytes + cost > byteLimit)) {
        bytes -= Cost(messages.front().topic.size(), messages.front().payload.size());
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
    bytes -= Cost(message.topic.size(), message.payload.size());
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
