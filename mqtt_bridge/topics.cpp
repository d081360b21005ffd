#include "mqtt_bridge/topics.h"

#include "mqtt_bridge/number_text.h"

TopicScheme::TopicScheme(const std::string &prefix, const std::string &device) : base(prefix + "/" + device + "/") {}

std::string TopicScheme::State() const { return base + "state"; }

std::string TopicScheme::Modules() const { return base + "modules"; }

std::string TopicScheme::Bridge() const { return base + "bridge"; }

std::string TopicScheme::Info() const { return base + "info"; }

std::string TopicScheme::Status(uint32_t source, const std::string &name) const {
    return base + "status/" + HexDigits(source) + "/" + name;
}

std::string TopicScheme::Log(uint32_t source, uint32_t level) const {
    return base + "log/" + HexDigits(source) + "/" + std::to_string(level);
}

std::string TopicScheme::Event(uint32_t source, uint32_t eventClass, uint32_t eventType) const {
    return base + "event/" + HexDigits(source) + "/" + HexDigits(eventClass) + "/" + HexDigits(eventType);
}

std::string TopicScheme::CommandPrefix() const { return base + "command/"; }

std::string TopicScheme::CommandFilter() const { return base + "command/#"; }

bool TopicScheme::Contains(const std::string &topic) const { return topic.compare(0, base.size(), base) == 0; }
