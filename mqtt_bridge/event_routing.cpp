#include "mqtt_bridge/event_routing.h"

#include <cstring>
#include <utility>

#include "mqtt_bridge/document_names.h"
#include "mqtt_bridge/mqtt_bridge_commands.h"

namespace {

constexpr int STATUS_MASK = 2; // CLASS_STATUS is class bit 2
constexpr int LOG_MASK = 6;    // CLASS_LOG is class bit 6
constexpr int MASK8_CLASS_BIT = 10;

// What the core compares with the masks: type bits 24-30 one place up, bit 31 left out.
constexpr uint32_t DeliveryValue(uint32_t eventType) {
    return ((eventType << 1) & 0xFE000000u) | (eventType & 0x00FFFFFFu);
}

int MaskOfClassBit(int bit) { return bit == MASK8_CLASS_BIT ? 8 : bit; }

EventRouter::Route Routed(EventRouter::Route::Kind kind, std::string topic, const char *data, std::size_t length) {
    EventRouter::Route route;
    route.kind = kind;
    route.topic = std::move(topic);
    route.data = data;
    route.length = length;
    return route;
}

} // namespace

EventRouter::EventRouter(const BridgeSettings &settings, const TopicScheme &topics)
    : topics(topics), publishLog(settings.publishLog), minimumLogLevel(settings.minimumLogLevel),
      rules(settings.events), answerClass(settings.answerClass), answerType(settings.answerType) {}

void EventRouter::FillMasks(uint32_t (&masks)[EVENT_MASK_COUNT]) const {
    // Whole classes: log lines and status documents may carry type bits of their raisers.
    masks[STATUS_MASK] = 0xFFFFFFFFu;
    if (publishLog) {
        masks[LOG_MASK] = 0xFFFFFFFFu;
    }
    std::vector<PublishRule> wanted = rules;
    wanted.push_back({answerClass, DeliveryValue(answerType), std::nullopt});
    for (const PublishRule &rule : wanted) {
        for (int bit = 0; bit <= MASK8_CLASS_BIT; ++bit) {
            if (rule.classBits & (1u << bit)) {
                masks[MaskOfClassBit(bit)] |= rule.types;
            }
        }
    }
}

EventRouter::Route EventRouter::ForEvent(const _WriteParmsIn &event) const {
    if ((event.EventClass & CLASS_LOG) && (event.EventType & TYPE_LOG_TEXT)) {
        return ForLogLine(event);
    }
    if ((event.EventClass & CLASS_STATUS) && (event.EventType & TYPE_DOCUMENT)) {
        return ForStatus(event);
    }
    if (event.EventClass == answerClass && event.EventType == answerType &&
        event.Params[MQTT_BRIDGE_PARAM_MARK] == MQTT_BRIDGE_MARK) {
        Route answer =
            Routed(Route::Kind::Answer, "", static_cast<const char *>(event.Data), event.Data ? event.DataLength : 0);
        answer.request = event.Params[MQTT_BRIDGE_PARAM_REQUEST];
        return answer;
    }
    if (!RuleTakes(event)) {
        return {};
    }
    return Routed(Route::Kind::Message, topics.Event(event.Source, event.EventClass, event.EventType),
                  static_cast<const char *>(event.Data), event.Data ? event.DataLength : 0);
}

EventRouter::Route EventRouter::ForLogLine(const _WriteParmsIn &event) const {
    const uint32_t level = event.Params[EVENT_PARAM_LEVEL];
    if (!publishLog || level < minimumLogLevel) {
        return {};
    }
    const char *text = static_cast<const char *>(event.Data);
    // The text ends at its NUL, which the raiser need not have counted.
    const void *nul = text ? std::memchr(text, '\0', event.DataLength) : nullptr;
    const std::size_t length = nul ? static_cast<const char *>(nul) - text : (text ? event.DataLength : 0);
    return Routed(Route::Kind::Message, topics.Log(event.Source, level), text, length);
}

EventRouter::Route EventRouter::ForStatus(const _WriteParmsIn &event) const {
    const char *text = static_cast<const char *>(event.Data);
    const std::size_t length = text ? event.DataLength : 0;
    const std::string name = FirstElementInRoot(text, length);
    Route route =
        Routed(Route::Kind::Document, topics.Status(event.Source, name.empty() ? "document" : name), text, length);
    route.name = name;
    return route;
}

bool EventRouter::RuleTakes(const _WriteParmsIn &event) const {
    const uint32_t value = DeliveryValue(event.EventType);
    for (const PublishRule &rule : rules) {
        if ((event.EventClass & rule.classBits) != 0 && (value & ~rule.types) == 0 &&
            (!rule.source || *rule.source == event.Source)) {
            return true;
        }
    }
    return false;
}

EventRouter::Route EventRouter::ForConfiguration(const void *data, uint32_t length) const {
    const char *text = static_cast<const char *>(data);
    if (!text || FirstElementInRoot(text, length) != "Modules") {
        return {};
    }
    return Routed(Route::Kind::Document, topics.Modules(), text, length);
}
