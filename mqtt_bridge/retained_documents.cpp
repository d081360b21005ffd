#include "mqtt_bridge/retained_documents.h"

#include <utility>

bool RetainedDocuments::Admits(uint32_t owner) const {
    if (owner == OWN) {
        return true;
    }
    std::size_t foreign = 0;
    for (const auto &entry : topicsOf) {
        foreign += entry.second;
    }
    return foreign < TOPIC_LIMIT || topicsOf.count(owner) == 0;
}

void RetainedDocuments::Set(const std::string &topic, const char *payload, std::size_t length, uint32_t owner) {
    if (length == 0) {
        payload = ""; // the event's Data may be null
    }
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = documents.find(topic);
    if (length > DOCUMENT_LIMIT || (found == documents.end() && !Admits(owner))) {
        ++refused;
        return;
    }
    if (found == documents.end()) {
        documents[topic].owner = owner;
        if (owner != OWN) {
            ++topicsOf[owner];
        }
    }
    Document &document = documents[topic];
    if (found == documents.end() || document.payload.compare(0, std::string::npos, payload, length) != 0) {
        document.payload.assign(payload, length);
        document.changed = true;
    }
}

std::vector<OutgoingMessage> RetainedDocuments::TakeChanged(std::size_t limit) {
    std::vector<OutgoingMessage> taken;
    std::lock_guard<std::mutex> lock(mutex);
    for (auto &[topic, document] : documents) {
        if (taken.size() >= limit) {
            break;
        }
        if (document.changed) {
            document.changed = false;
            OutgoingMessage message;
            message.topic = topic;
            message.payload = document.payload;
            taken.push_back(std::move(message));
        }
    }
    return taken;
}

void RetainedDocuments::MarkAllChanged() {
    std::lock_guard<std::mutex> lock(mutex);
    for (auto &entry : documents) {
        entry.second.changed = true;
    }
}

uint64_t RetainedDocuments::Refused() const {
    std::lock_guard<std::mutex> lock(mutex);
    return refused;
}
