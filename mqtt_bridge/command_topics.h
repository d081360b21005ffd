#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mqtt_bridge/settings.h"

// Commands from the broker: a message on "<prefix>/<device>/command/<name>" (a name from the
// settings) or, when allowed, "<prefix>/<device>/command/<class>/<type>" (hexadecimal) becomes
// an event of that class and type whose data is the message's payload. "command/reload-settings"
// makes the bridge read its settings again. Answers go to "<command topic>/result" where the
// command names no response topic of its own; the bridge ignores what it reads there.

// The last level of an answer topic.
constexpr const char *ANSWER_LEVEL = "result";

// Class bits that select event masks: 0-7 and 10.
constexpr uint32_t MASK_SELECTING_CLASS_BITS = 0x4FFu;

// Whether a command may raise an event of this class and type: the class only selects masks
// (never a command of the core, a configuration document or nothing at all), is not the status
// class, which plugins take as the core's and other plugins' own documents, and the type does
// not carry the core's own mark, TYPE_FROM_CORE.
bool IsCommandEvent(uint32_t eventClass, uint32_t eventType);

struct CommandEvent {
    uint32_t eventClass = 0;
    uint32_t eventType = 0;
};

// The event to raise, or why the message is refused; or the reload command; or an answer topic,
// which is no command at all.
struct TranslatedCommand {
    std::optional<CommandEvent> event;
    std::string refusal;
    bool reload = false;
    bool answerTopic = false;
    uint32_t answerSeconds = 0; // of a named command: how long to wait for a plugin's answer
};

class CommandTranslator {
public:
    // Payloads above this are refused: the core copies every event's data.
    static constexpr std::size_t PAYLOAD_LIMIT = 65536;

    // `prefix` is "<prefix>/<device>/command/".
    CommandTranslator(std::string prefix, std::vector<NamedCommand> named, bool numeric);

    // A retained message is refused: it would be carried out again at every connection.
    TranslatedCommand Translate(const std::string &topic, std::size_t payloadLength, bool retained = false) const;

private:
    TranslatedCommand Numeric(const std::string &classText, const std::string &typeText) const;

    std::string prefix;
    std::vector<NamedCommand> named;
    bool numeric;
};
