#include "mqtt_bridge/discovery.h"

#include "mqtt_bridge/json_text.h"

namespace {

struct Entity {
    const char *component;
    const char *object;
    const char *name;
    bool onInfo;        // the state is read from `info`, else from `state`
    const char *extras; // further members, JSON without braces
};

const Entity ENTITIES[] = {
    {"binary_sensor", "connection", "Connection", false,
     "\"device_class\":\"connectivity\",\"payload_on\":\"online\",\"payload_off\":\"offline\""},
    {"binary_sensor", "throttling", "Throttling", true,
     "\"device_class\":\"problem\",\"value_template\":\"{{ 'ON' if value_json.Info[0].Throttling == 1 else 'OFF' "
     "}}\",\"payload_on\":\"ON\",\"payload_off\":\"OFF\""},
    {"sensor", "uptime", "Uptime", true,
     "\"device_class\":\"duration\",\"unit_of_measurement\":\"s\",\"state_class\":\"total_increasing\","
     "\"value_template\":\"{{ value_json.Info[0].Uptime }}\""},
    {"sensor", "refused_plugins", "Refused plugins", true,
     "\"state_class\":\"measurement\",\"value_template\":\"{{ value_json.Info[0].PluginsRefused }}\""},
    {"sensor", "last_crash", "Last crash", true,
     "\"value_template\":\"{{ value_json.Info[0].CrashReport[0].plugin | default('none') if "
     "value_json.Info[0].CrashReport is defined else 'none' }}\",\"json_attributes_topic\":\"@INFO@\","
     "\"json_attributes_template\":\"{{ (value_json.Info[0].CrashReport[0] if value_json.Info[0].CrashReport is "
     "defined else {}) | tojson }}\""},
};

std::string NodeId(const std::string &device) {
    std::string node = device;
    for (char &c : node) {
        const bool kept =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
        c = kept ? c : '_';
    }
    return node;
}

std::string ConfigTopic(const std::string &prefix, const std::string &node, const Entity &entity) {
    return prefix + "/" + entity.component + "/" + node + "/" + entity.object + "/config";
}

std::string WithInfoTopic(std::string extras, const std::string &infoTopic) {
    const std::string mark = "@INFO@";
    const std::size_t at = extras.find(mark);
    if (at != std::string::npos) {
        extras.replace(at, mark.size(), infoTopic);
    }
    return extras;
}

} // namespace

std::vector<DiscoveryMessage> DiscoveryConfigurations(const std::string &prefix, const std::string &device,
                                                      const TopicScheme &topics, const std::string &version) {
    const std::string node = NodeId(device);
    const std::string deviceBlock = "\"device\":{\"identifiers\":[" + JsonString("dvr-" + node) +
                                    "],\"name\":" + JsonString(device) +
                                    ",\"model\":\"video recorder\",\"sw_version\":" + JsonString(version) + "}";
    std::vector<DiscoveryMessage> messages;
    for (const Entity &entity : ENTITIES) {
        const std::string stateTopic = entity.onInfo ? topics.Info() : topics.State();
        std::string payload = "{\"name\":" + JsonString(entity.name) +
                              ",\"unique_id\":" + JsonString("dvr-" + node + "-" + entity.object) +
                              ",\"state_topic\":" + JsonString(stateTopic) +
                              ",\"availability_topic\":" + JsonString(topics.State()) +
                              ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\"," +
                              WithInfoTopic(entity.extras, topics.Info()) + "," + deviceBlock + "}";
        messages.push_back({ConfigTopic(prefix, node, entity), payload});
    }
    return messages;
}

std::vector<DiscoveryMessage> DiscoveryRemovals(const std::string &prefix, const std::string &device,
                                                const TopicScheme &) {
    std::vector<DiscoveryMessage> messages;
    for (const Entity &entity : ENTITIES) {
        messages.push_back({ConfigTopic(prefix, NodeId(device), entity), ""});
    }
    return messages;
}
