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

// A command name (the topic level after "command/") and the event it becomes. With
// `answerSeconds`, the answer is the one a plugin gives within that time (see
// mqtt_bridge_commands.h); without, the event's result.
struct NamedCommand {
    std::string name;
    uint32_t eventClass = 0;
    uint32_t eventType = 0;
    uint32_t answerSeconds = 0;
};

// The command that makes the bridge read its settings file again.
constexpr const char *RELOAD_COMMAND = "reload-settings";

enum class Protocol { Mqtt5, Mqtt311 };
enum class DocumentForm { Xml, Json };
enum class EventForm { Raw, Json };

struct BridgeSettings {
    std::string host;
    uint16_t port = 0;
    std::string clientId;
    int keepAliveSeconds = 30;
    int qos = 1;
    Protocol protocol = Protocol::Mqtt5;
    TlsSettings tls;
    std::string user;         // empty: no authentication
    std::string passwordFile; // empty: a user name without a password
    std::string device;
    std::string topicPrefix = "dvr";
    bool publishLog = true;
    uint32_t minimumLogLevel = 25;
    std::vector<PublishRule> events;
    std::vector<NamedCommand> commands;
    bool numericCommands = false;      // "command/<class>/<type>" topics
    uint32_t answerClass = 0x400;      // the event a plugin answers a command with
    uint32_t answerType = 0x00400000u; //
    DocumentForm documentForm = DocumentForm::Xml;
    EventForm eventForm = EventForm::Raw;
    uint32_t infoIntervalSeconds = 60;
    bool discovery = false;
    std::string discoveryPrefix = "homeassistant";
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
// not silently left out. `defaultDevice` names the device when the document does not. TLS may be
// off only when the settings say so and the broker is on the loopback interface.
ParsedSettings ParseSettings(const TiXmlDocument &document, const std::string &defaultDevice);

// Whether a host names the loopback interface: "localhost", 127.0.0.0/8 or ::1.
bool IsLoopbackHost(const std::string &host);
