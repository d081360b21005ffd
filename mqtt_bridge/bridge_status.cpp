#include "mqtt_bridge/bridge_status.h"

#include "mqtt_bridge/xml_writing.h"

void BridgeStatus::CountPublished() {
    std::lock_guard<std::mutex> lock(mutex);
    ++counts.published;
}

void BridgeStatus::CountReconnect() {
    std::lock_guard<std::mutex> lock(mutex);
    ++counts.reconnects;
}

uint64_t BridgeStatus::CountRefusedCommand() {
    std::lock_guard<std::mutex> lock(mutex);
    return ++counts.refusedCommands;
}

void BridgeStatus::RecordError(const std::string &text, std::time_t when) {
    std::lock_guard<std::mutex> lock(mutex);
    lastError = text;
    lastErrorTime = when;
}

BridgeStatus::Counts BridgeStatus::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return counts;
}

std::string BridgeStatus::LastError() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lastError;
}

std::time_t BridgeStatus::LastErrorTime() const {
    std::lock_guard<std::mutex> lock(mutex);
    return lastErrorTime;
}

std::string BridgeDocument(const BridgeStatus::Counts &counts, const std::string &lastError, std::time_t errorTime) {
    XmlElementText bridge("Bridge");
    bridge.Attribute("Published", counts.published);
    bridge.Attribute("Queued", counts.queued);
    bridge.Attribute("Dropped", counts.dropped);
    bridge.Attribute("Reconnects", counts.reconnects);
    bridge.Attribute("RefusedCommands", counts.refusedCommands);
    if (!lastError.empty()) {
        bridge.Attribute("LastError", lastError);
        bridge.Attribute("LastErrorTime", UtcTimeText(errorTime));
    }
    return XmlDocumentText(bridge.Closed());
}
