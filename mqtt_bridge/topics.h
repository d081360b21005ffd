#pragma once

#include <cstdint>
#include <string>

// The topics of one device, all under "<prefix>/<device>/". Numbers in topics are eight
// upper-case hexadecimal digits, as the core prints identifiers; levels are decimal.
class TopicScheme {
public:
    TopicScheme(const std::string &prefix, const std::string &device);

    std::string State() const;   // "online" or "offline", retained; the last will
    std::string Modules() const; // the modules report, retained
    std::string Bridge() const;  // the bridge's counters document, retained
    std::string Info() const;    // the device's health document, retained
    // A status document, retained, named by the first element in its root.
    std::string Status(uint32_t source, const std::string &name) const;
    std::string Log(uint32_t source, uint32_t level) const;
    std::string Event(uint32_t source, uint32_t eventClass, uint32_t eventType) const;
    // Where commands arrive: the prefix of their topics, and the filter to subscribe to.
    std::string CommandPrefix() const;
    std::string CommandFilter() const;
    // Whether a topic lies under "<prefix>/<device>/".
    bool Contains(const std::string &topic) const;

private:
    std::string base; // "<prefix>/<device>/"
};
