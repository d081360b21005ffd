#include "mqtt_bridge/settings.h"

#include <algorithm>
#include <initializer_list>
#include <set>

#include <arpa/inet.h>
#include <mosquitto.h>
#include <tinyxml.h>

#include "mqtt_bridge/command_topics.h"
#include "mqtt_bridge/number_text.h"

namespace {

constexpr uint16_t TLS_PORT = 8883;
constexpr uint16_t PLAIN_PORT = 1883;

// Reads the attributes of one element; the first problem is kept in `error` and later reads
// return their fallbacks.
class ElementReader {
public:
    ElementReader(const TiXmlElement *element, std::string &error) : element(element), error(error) {}

    bool Present() const { return element != nullptr; }

    // Every attribute must be one of `known`.
    void Allow(std::initializer_list<const char *> known) {
        if (!element) {
            return;
        }
        for (const TiXmlAttribute *a = element->FirstAttribute(); a; a = a->Next()) {
            const bool isKnown =
                std::any_of(known.begin(), known.end(), [&](const char *name) { return a->NameTStr() == name; });
            if (!isKnown) {
                Fail(std::string("unknown attribute ") + a->Name());
            }
        }
    }

    std::string Text(const char *name, const std::string &fallback = "") const {
        const char *value = element ? element->Attribute(name) : nullptr;
        return value ? value : fallback;
    }

    std::string RequiredText(const char *name) {
        const std::string value = Text(name);
        if (value.empty()) {
            Fail(std::string(name) + " is required");
        }
        return value;
    }

    uint32_t Number(const char *name, uint32_t fallback, uint32_t lowest, uint32_t highest) {
        const char *text = element ? element->Attribute(name) : nullptr;
        if (!text) {
            return fallback;
        }
        const std::optional<uint32_t> value = ParseNumber(text);
        if (!value || *value < lowest || *value > highest) {
            Fail(std::string(name) + " \"" + text + "\" is not a number from " + std::to_string(lowest) + " to " +
                 std::to_string(highest));
            return fallback;
        }
        return *value;
    }

    std::optional<uint32_t> OptionalNumber(const char *name) {
        if (!element || !element->Attribute(name)) {
            return std::nullopt;
        }
        return Number(name, 0, 0, UINT32_MAX);
    }

    uint32_t RequiredNumber(const char *name) {
        if (!element || !element->Attribute(name)) {
            Fail(std::string(name) + " is required");
            return 0;
        }
        return Number(name, 0, 0, UINT32_MAX);
    }

    bool Flag(const char *name, bool fallback) { return Number(name, fallback ? 1 : 0, 0, 1) != 0; }

    void Fail(const std::string &problem) {
        if (error.empty()) {
            error = element ? element->ValueStr() + ": " + problem : problem;
        }
    }

private:
    const TiXmlElement *element;
    std::string &error;
};

// A topic level: not empty, no separator or wildcard, valid UTF-8.
bool IsTopicLevel(const std::string &text) {
    return !text.empty() && text.find_first_of("/+#") == std::string::npos &&
           mosquitto_validate_utf8(text.c_str(), static_cast<int>(text.size())) == MOSQ_ERR_SUCCESS;
}

// One or more levels: no wildcard, no empty level.
bool IsTopicPath(const std::string &text) {
    return !text.empty() && text.find_first_of("+#") == std::string::npos && text.front() != '/' &&
           text.back() != '/' && text.find("//") == std::string::npos &&
           mosquitto_validate_utf8(text.c_str(), static_cast<int>(text.size())) == MOSQ_ERR_SUCCESS;
}

void ReadBroker(const TiXmlElement *root, BridgeSettings &settings, std::string &error) {
    ElementReader broker(root->FirstChildElement("Broker"), error);
    if (!broker.Present()) {
        broker.Fail("the Broker element is required");
        return;
    }
    broker.Allow({"Host", "Port", "ClientID", "KeepAlive", "QoS", "Protocol"});
    settings.host = broker.RequiredText("Host");
    settings.port =
        static_cast<uint16_t>(broker.Number("Port", settings.tls.enabled ? TLS_PORT : PLAIN_PORT, 1, 65535));
    settings.clientId = broker.Text("ClientID", "dvr-" + settings.device);
    settings.keepAliveSeconds = static_cast<int>(broker.Number("KeepAlive", settings.keepAliveSeconds, 5, 65535));
    settings.qos = static_cast<int>(broker.Number("QoS", settings.qos, 0, 2));
    const std::string protocol = broker.Text("Protocol", "5");
    if (protocol == "3.1.1") {
        settings.protocol = Protocol::Mqtt311;
    } else if (protocol != "5") {
        broker.Fail("Protocol \"" + protocol + "\" is neither \"5\" nor \"3.1.1\"");
    }
    if (!settings.tls.enabled && !settings.host.empty() && !IsLoopbackHost(settings.host)) {
        broker.Fail("TLS may be disabled only for a broker on the loopback interface, not " + settings.host);
    }
}

void ReadDevice(const TiXmlElement *root, BridgeSettings &settings, std::string &error) {
    ElementReader device(root->FirstChildElement("Device"), error);
    device.Allow({"Name", "TopicPrefix"});
    settings.device = device.Text("Name", settings.device);
    settings.topicPrefix = device.Text("TopicPrefix", settings.topicPrefix);
    if (!IsTopicLevel(settings.device)) {
        device.Fail("Name \"" + settings.device + "\" must be one topic level: not empty, without '/', '+' or '#'");
    }
    if (!IsTopicPath(settings.topicPrefix)) {
        device.Fail("TopicPrefix \"" + settings.topicPrefix +
                    "\" must be topic levels without '+', '#' or empty levels");
    }
}

void ReadTls(const TiXmlElement *root, TlsSettings &tls, std::string &error) {
    ElementReader element(root->FirstChildElement("TLS"), error);
    if (!element.Present()) {
        element.Fail("the TLS element is required; to connect without encryption say <TLS Disabled=\"1\" />");
        return;
    }
    element.Allow({"Disabled", "CAFile", "CertFile", "KeyFile"});
    tls.enabled = !element.Flag("Disabled", false);
    if (!tls.enabled) {
        return;
    }
    tls.caFile = element.RequiredText("CAFile");
    tls.certFile = element.Text("CertFile");
    tls.keyFile = element.Text("KeyFile");
    if (tls.certFile.empty() != tls.keyFile.empty()) {
        element.Fail("CertFile and KeyFile go together");
    }
}

void ReadAuthentication(const TiXmlElement *root, BridgeSettings &settings, std::string &error) {
    ElementReader element(root->FirstChildElement("Authentication"), error);
    if (!element.Present()) {
        return;
    }
    element.Allow({"User", "PasswordFile"});
    settings.user = element.RequiredText("User");
    settings.passwordFile = element.Text("PasswordFile");
}

void ReadLog(const TiXmlElement *root, BridgeSettings &settings, std::string &error) {
    ElementReader element(root->FirstChildElement("Log"), error);
    element.Allow({"Publish", "MinimumLevel"});
    settings.publishLog = element.Flag("Publish", settings.publishLog);
    settings.minimumLogLevel = element.Number("MinimumLevel", settings.minimumLogLevel, 0, UINT32_MAX);
}

void ReadEvents(const TiXmlElement *root, BridgeSettings &settings, std::string &error) {
    const TiXmlElement *events = root->FirstChildElement("Events");
    ElementReader(events, error).Allow({});
    for (const TiXmlElement *e = events ? events->FirstChildElement() : nullptr; e; e = e->NextSiblingElement()) {
        ElementReader rule(e, error);
        if (e->ValueStr() != "Publish") {
            rule.Fail("unknown element in Events");
            return;
        }
        rule.Allow({"Class", "Types", "Source"});
        PublishRule publish{rule.RequiredNumber("Class"), rule.RequiredNumber("Types"), rule.OptionalNumber("Source")};
        if (publish.classBits == 0 || (publish.classBits & ~MASK_SELECTING_CLASS_BITS) != 0) {
            rule.Fail("Class must have class bits 0-7 or 10 only");
        }
        settings.events.push_back(publish);
    }
}

void ReadCommands(const TiXmlElement *root, BridgeSettings &settings, std::string &error) {
    const TiXmlElement *commands = root->FirstChildElement("Commands");
    ElementReader list(commands, error);
    list.Allow({"Numeric", "AnswerClass", "AnswerType"});
    settings.numericCommands = list.Flag("Numeric", false);
    settings.answerClass = list.Number("AnswerClass", settings.answerClass, 1, UINT32_MAX);
    settings.answerType = list.Number("AnswerType", settings.answerType, 0, UINT32_MAX);
    if ((settings.answerClass & ~MASK_SELECTING_CLASS_BITS) != 0) {
        list.Fail("AnswerClass must have class bits 0-7 or 10 only");
    }
    std::set<std::string> names;
    for (const TiXmlElement *e = commands ? commands->FirstChildElement() : nullptr; e; e = e->NextSiblingElement()) {
        ElementReader command(e, error);
        if (e->ValueStr() != "Command") {
            command.Fail("unknown element in Commands");
            return;
        }
        command.Allow({"Name", "Class", "Type", "AnswerSeconds"});
        NamedCommand named{command.RequiredText("Name"), command.RequiredNumber("Class"),
                           command.RequiredNumber("Type"), command.Number("AnswerSeconds", 0, 0, 3600)};
        if (!IsTopicLevel(named.name) || !names.insert(named.name).second || named.name == RELOAD_COMMAND ||
            named.name == ANSWER_LEVEL) {
            command.Fail("Name \"" + named.name + "\" must be one topic level, used once, not \"" + RELOAD_COMMAND +
                         "\" or \"" + ANSWER_LEVEL + "\"");
        }
        if (!IsCommandEvent(named.eventClass, named.eventType)) {
            command.Fail("Class must have class bits 0-7 or 10 only, not the status class 0x4, and Type not the "
                         "core's bit 24");
        }
        settings.commands.push_back(named);
    }
}

void ReadLimits(const TiXmlElement *root, BridgeSettings &settings, std::string &error) {
    ElementReader queue(root->FirstChildElement("Queue"), error);
    queue.Allow({"Messages", "Bytes"});
    settings.queueMessages = queue.Number("Messages", static_cast<uint32_t>(settings.queueMessages), 1, 1000000);
    settings.queueBytes = queue.Number("Bytes", static_cast<uint32_t>(settings.queueBytes), 1024, 256u << 20);
    ElementReader reconnect(root->FirstChildElement("Reconnect"), error);
    reconnect.Allow({"MinimumSeconds", "MaximumSeconds"});
    settings.reconnectMinimumSeconds =
        static_cast<int>(reconnect.Number("MinimumSeconds", settings.reconnectMinimumSeconds, 1, 3600));
    settings.reconnectMaximumSeconds = static_cast<int>(
        reconnect.Number("MaximumSeconds", std::max(settings.reconnectMaximumSeconds, settings.reconnectMinimumSeconds),
                         settings.reconnectMinimumSeconds, 3600));
}

void ReadPublishing(const TiXmlElement *root, BridgeSettings &settings, std::string &error) {
    ElementReader payload(root->FirstChildElement("Payload"), error);
    payload.Allow({"Documents", "Events"});
    const std::string documents = payload.Text("Documents", "xml");
    const std::string events = payload.Text("Events", "raw");
    if (documents != "xml" && documents != "json") {
        payload.Fail("Documents \"" + documents + "\" is neither \"xml\" nor \"json\"");
    }
    if (events != "raw" && events != "json") {
        payload.Fail("Events \"" + events + "\" is neither \"raw\" nor \"json\"");
    }
    settings.documentForm = documents == "json" ? DocumentForm::Json : DocumentForm::Xml;
    settings.eventForm = events == "json" ? EventForm::Json : EventForm::Raw;
    ElementReader info(root->FirstChildElement("Info"), error);
    info.Allow({"IntervalSeconds"});
    settings.infoIntervalSeconds = info.Number("IntervalSeconds", settings.infoIntervalSeconds, 5, 86400);
    ElementReader discovery(root->FirstChildElement("Discovery"), error);
    discovery.Allow({"Enabled", "Prefix"});
    settings.discovery = discovery.Flag("Enabled", false);
    settings.discoveryPrefix = discovery.Text("Prefix", settings.discoveryPrefix);
    if (!IsTopicPath(settings.discoveryPrefix)) {
        discovery.Fail("Prefix \"" + settings.discoveryPrefix +
                       "\" must be topic levels without '+', '#' or empty levels");
    }
    if (settings.discovery && settings.documentForm != DocumentForm::Json) {
        discovery.Fail("discovery needs <Payload Documents=\"json\" />: Home Assistant reads JSON");
    }
}

void RejectUnknownElements(const TiXmlElement *root, std::string &error) {
    static const std::set<std::string> known = {"Broker",    "Device",  "TLS",      "Authentication",
                                                "Log",       "Events",  "Commands", "Queue",
                                                "Reconnect", "Payload", "Info",     "Discovery"};
    for (const TiXmlElement *e = root->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (!known.count(e->ValueStr())) {
            ElementReader(e, error).Fail("unknown element");
        }
    }
}

} // namespace

bool IsLoopbackHost(const std::string &host) {
    if (host == "localhost" || host == "::1") {
        return true;
    }
    in_addr address{};
    return inet_pton(AF_INET, host.c_str(), &address) == 1 && (ntohl(address.s_addr) >> 24) == 127;
}

ParsedSettings ParseSettings(const TiXmlDocument &document, const std::string &defaultDevice) {
    const TiXmlElement *root = document.FirstChildElement();
    if (!root) {
        return {std::nullopt, "the settings document has no root element"};
    }
    BridgeSettings settings;
    settings.device = defaultDevice;
    std::string error;
    RejectUnknownElements(root, error);
    // The device names the default client ID, and TLS the default port.
    ReadDevice(root, settings, error);
    ReadTls(root, settings.tls, error);
    ReadBroker(root, settings, error);
    ReadAuthentication(root, settings, error);
    ReadLog(root, settings, error);
    ReadEvents(root, settings, error);
    ReadCommands(root, settings, error);
    ReadLimits(root, settings, error);
    ReadPublishing(root, settings, error);
    if (!error.empty()) {
        return {std::nullopt, error};
    }
    return {settings, ""};
}
