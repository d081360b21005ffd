#include "mqtt_bridge/command_topics.h"

#include <utility>

#include "include/dvrplugin.h"
#include "mqtt_bridge/number_text.h"

bool IsCommandEvent(uint32_t eventClass, uint32_t eventType) {
    return eventClass != 0 && (eventClass & ~MASK_SELECTING_CLASS_BITS) == 0 && (eventClass & CLASS_STATUS) == 0 &&
           (eventType & TYPE_FROM_CORE) == 0;
}

CommandTranslator::CommandTranslator(std::string prefix, std::vector<NamedCommand> named, bool numeric)
    : prefix(std::move(prefix)), named(std::move(named)), numeric(numeric) {}

TranslatedCommand CommandTranslator::Translate(const std::string &topic, std::size_t payloadLength,
                                               bool retained) const {
    if (topic.compare(0, prefix.size(), prefix) != 0) {
        return {std::nullopt, "not a command topic"};
    }
    const std::string answerEnd = std::string("/") + ANSWER_LEVEL;
    if (topic.size() > answerEnd.size() &&
        topic.compare(topic.size() - answerEnd.size(), answerEnd.size(), answerEnd) == 0) {
        TranslatedCommand answer;
        answer.answerTopic = true;
        return answer;
    }
    if (retained) {
        return {std::nullopt, "a retained command is never carried out (publish commands without the retain flag)"};
    }
    if (payloadLength > PAYLOAD_LIMIT) {
        return {std::nullopt,
                "payload of " + std::to_string(payloadLength) + " bytes is above " + std::to_string(PAYLOAD_LIMIT)};
    }
    const std::string command = topic.substr(prefix.size());
    const std::size_t slash = command.find('/');
    if (slash == std::string::npos) {
        if (command == RELOAD_COMMAND) {
            TranslatedCommand reload;
            reload.reload = true;
            return reload;
        }
        for (const NamedCommand &candidate : named) {
            if (candidate.name == command) {
                TranslatedCommand translated{CommandEvent{candidate.eventClass, candidate.eventType}, ""};
                translated.answerSeconds = candidate.answerSeconds;
                return translated;
            }
        }
        return {std::nullopt, "unknown command"};
    }
    if (!numeric) {
        return {std::nullopt, "numeric commands are not allowed"};
    }
    const std::string typeText = command.substr(slash + 1);
    if (typeText.find('/') != std::string::npos) {
        return {std::nullopt, "a numeric command is <class>/<type>"};
    }
    return Numeric(command.substr(0, slash), typeText);
}

TranslatedCommand CommandTranslator::Numeric(const std::string &classText, const std::string &typeText) const {
    const std::optional<uint32_t> eventClass = ParseHexNumber(classText);
    const std::optional<uint32_t> eventType = ParseHexNumber(typeText);
    if (!eventClass || !eventType) {
        return {std::nullopt, "class and type must be hexadecimal numbers"};
    }
    if (!IsCommandEvent(*eventClass, *eventType)) {
        return {std::nullopt, "class or type not allowed for commands"};
    }
    return {CommandEvent{*eventClass, *eventType}, ""};
}
