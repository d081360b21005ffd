#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

// What the bridge says about its link to the broker: one line when an outage begins (the first
// failed attempt, or the loss of the connection), one for each different refusal by the broker
// within an outage (a wrong password, say), and one when it is connected again. Further
// attempts that fail say nothing, however many there are.
class OutageReport {
public:
    explicit OutageReport(std::string broker); // "host:port", as the lines name it

    std::optional<std::string> AttemptFailed(const std::string &cause);
    std::optional<std::string> Refused(const std::string &reason);
    std::string ConnectionLost(const std::string &cause);
    std::string Connected(uint64_t droppedSoFar);

private:
    std::string broker;
    bool everConnected = false;
    bool outageAnnounced = false;
    std::set<std::string> refusalsAnnounced;
};
