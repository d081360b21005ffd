#pragma once

#include <string>
#include <vector>

#include "mqtt_bridge/topics.h"

// Home Assistant's MQTT discovery for one device: retained configurations under
// "<prefix>/<component>/<node>/<object>/config", where the node is the device name with every
// character other than letters, digits, '_' and '-' made '_'. Five entities, each available
// while the `state` topic says "online": the device's connection (a binary sensor on `state`),
// throttling (a binary sensor), uptime, refused plugins and the last crash (sensors), the last
// three read from the JSON `info` document. An empty retained message on a configuration topic
// removes the entity.
struct DiscoveryMessage {
    std::string topic;
    std::string payload; // JSON
};

std::vector<DiscoveryMessage> DiscoveryConfigurations(const std::string &prefix, const std::string &device,
                                                      const TopicScheme &topics, const std::string &version);
// The same topics with empty payloads.
std::vector<DiscoveryMessage> DiscoveryRemovals(const std::string &prefix, const std::string &device,
                                                const TopicScheme &topics);
