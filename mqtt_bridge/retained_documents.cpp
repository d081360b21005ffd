#include "mqtt_bridge/retained_documents.h"

void RetainedDocuments::Set(const std::string &topic, const char *payload, std::size_t length) {
    if (length == 0) {
        payload = ""; // the event's Data may be null
    }
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = documents.find(topic);
    if (length > DOCUMENT_LIMIT || (found == documents.end() && documents.size() >= TOPIC_LIMIT)) {
        ++refused;
        return;
    }
    Document &document = found != documents.end() ? found->second : documents[topic];
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
            taken.push_back({topic, document.payload});
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
