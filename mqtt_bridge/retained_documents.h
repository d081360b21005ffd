#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "mqtt_bridge/outgoing_queue.h"

// The latest document of each retained topic: status documents, the modules report and the
// bridge's own documents. A document is published when it changes, and every document again
// after each connection, so that a broker that restarted without keeping retained messages gets
// them back. At most DOCUMENT_LIMIT bytes per document. The bridge's own topics are always kept;
// status documents fill at most TOPIC_LIMIT topics, except that a source without any topic yet
// always gets one, so that no flood of names from one source shuts out another's status.
// Documents refused are counted.
//
// Thread-safe: every operation runs under the store's own lock and calls nothing outside.
class RetainedDocuments {
public:
    static constexpr std::size_t TOPIC_LIMIT = 32;
    static constexpr std::size_t DOCUMENT_LIMIT = 65536;

    // The owner of the bridge's own documents.
    static constexpr uint32_t OWN = 0;

    // Keeps the document unless refused; the same text again is no change. `owner` is the
    // source of a status document, or OWN.
    void Set(const std::string &topic, const char *payload, std::size_t length, uint32_t owner = OWN);
    // Up to `limit` documents changed since they were last taken, marked as taken.
    std::vector<OutgoingMessage> TakeChanged(std::size_t limit);
    void MarkAllChanged();
    uint64_t Refused() const;

private:
    struct Document {
        std::string payload;
        uint32_t owner = OWN;
        bool changed = true;
    };

    bool Admits(uint32_t owner) const;

    mutable std::mutex mutex;
    // Guarded by mutex.
    std::map<std::string, Document> documents;
    std::map<uint32_t, std::size_t> topicsOf; // status document topics per source
    uint64_t refused = 0;
};
