#include "mqtt_bridge/outage_report.h"

#include <utility>

OutageReport::OutageReport(std::string broker) : broker(std::move(broker)) {}

std::optional<std::string> OutageReport::AttemptFailed(const std::string &cause) {
    if (outageAnnounced) {
        return std::nullopt;
    }
    outageAnnounced = true;
    return "cannot reach the broker at " + broker + ": " + cause + "; retrying with back-off";
}

std::optional<std::string> OutageReport::Refused(const std::string &reason) {
    outageAnnounced = true;
    if (!refusalsAnnounced.insert(reason).second) {
        return std::nullopt;
    }
    return "the broker at " + broker + " refused the connection: " + reason;
}

std::string OutageReport::ConnectionLost(const std::string &cause) {
    outageAnnounced = true;
    return "lost the broker at " + broker + ": " + cause + "; retrying with back-off";
}

std::string OutageReport::Connected(uint64_t droppedSoFar) {
    const bool again = everConnected || outageAnnounced;
    everConnected = true;
    outageAnnounced = false;
    refusalsAnnounced.clear();
    if (!again) {
        return "connected to the broker at " + broker;
    }
    return "connected to the broker at " + broker + " again; " + std::to_string(droppedSoFar) +
           " messages dropped so far";
}
