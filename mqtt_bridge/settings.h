#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class TiXmlDocument;

// What the bridge's settings file says, and how its document becomes settings.

struct TlsSettings {
    bool enabled = false;
    std::string caFile;
    std::string certFile; // with keyFile: the bridge's own certificate, for brokers that ask
    std::string keyFile;
};

// Ordinary events the bridge publishes: those whose class has a bit of `classBits` and whose
// type the event mask `types` covers (the delivery rule of the event masks), from `source` or,
// without one, from any plugin.
struct PublishRule {
    uint32_t classBits = 0;
    uint32_t types = 0;
    std::optional<uint32_t> source;
};

// A command name (the topic level after "command/") and the event it becomes.
struct NamedCommand {
    std::string name;
    uint32_t eventClass = 0;
    uint32_t eventType = 0;
};

struct BridgeSettings {
    std::string host;
    uint16_t port = 0;
    std::string clientId;
    int keepAliveSeconds = 30;
    int qos = 1;
    TlsSettings tls;
    std::string user;         // empty: no authentication
    std::string passwordFile; // empty: a user name without a password
    std::string device;
    std::string topicPrefix = "dvr";
    bool publishLog = true;
    uint32_t minimumLogLevel = 25;
    std::vector<PublishRule> events;
    std::vector<NamedCommand> commands;
    bool numericCommands = false; // "command/<class>/<type>" topics
    std::size_t queueMessages = 1000;
    std::size_t queueBytes = 1024 * 1024;
    int reconnectMinimumSeconds = 1;
    int reconnectMaximumSeconds = 60;
};

// The settings, or the reason they cannot be used: one line naming the element and attribute.
struct ParsedSettings {
    std::optional<BridgeSettings> settings;
    std::string error;
};

// Unknown elements and attributes are errors, so that a misspelt setting (a TLS file, say) is
// not silently left out. `defaultDevice` names the device when the document does not.
ParsedSettings ParseSettings(const TiXmlDocument &document, const std::string &defaultDevice);
