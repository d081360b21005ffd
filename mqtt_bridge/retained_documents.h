#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "mqtt_bridge/outgoing_queue.h"

// The latest document of each retained topic: status documents, the modules report and the
// bridge's counters. A document is published when it changes, and every document again after
// each connection, so that a broker that restarted without keeping retained messages gets them
// back. At most TOPIC_LIMIT topics and DOCUMENT_LIMIT bytes per document; others are refused
// and counted.
//
// Thread-safe: every operation runs under the store's own lock and calls nothing outside.
class RetainedDocuments {
public:
    static constexpr std::size_t TOPIC_LIMIT = 32;
    static constexpr std::size_t DOCUMENT_LIMIT = 65536;

    // Keeps the document unless refused; the same text again is no change.
    void Set(const std::string &topic, const char *payload, std::size_t length);
    // Up to `limit` documents changed since they were last taken, marked as taken.
    std::vector<OutgoingMessage> TakeChanged(std::size_t limit);
    void MarkAllChanged();
    uint64_t Refused() const;

private:
    struct Document {
        std::string payload;
        bool changed = true;
    };

    mutable std::mutex mutex;
    // Guarded by mutex.
    std::map<std::string, Document> documents;
    uint64_t refused = 0;
};
