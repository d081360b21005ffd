#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "mqtt_bridge/settings.h"

// Commands from the broker: a message on "<prefix>/<device>/command/<name>" (a name from the
// settings) or, when allowed, "<prefix>/<device>/command/<class>/<type>" (hexadecimal) becomes
// an event of that class and type whose data is the message's payload.

// Class bits that select event masks: 0-7 and 10.
constexpr uint32_t MASK_SELECTING_CLASS_BITS = 0x4FFu;

// Whether a command may raise an event of this class and type: the class only selects masks
// (never a command of the core, a configuration document or nothing at all) and the type does
// not carry the core's own mark, TYPE_FROM_CORE.
bool IsCommandEvent(uint32_t eventClass, uint32_t eventType);

struct CommandEvent {
    uint32_t eventClass = 0;
    uint32_t eventType = 0;
};

// The event to raise, or why the message is refused.
struct TranslatedCommand {
    std::optional<CommandEvent> event;
    std::string refusal;
};

class CommandTranslator {
public:
    // Payloads above this are refused: the core copies every event's data.
    static constexpr std::size_t PAYLOAD_LIMIT = 65536;

    // `prefix` is "<prefix>/<device>/command/".
    CommandTranslator(std::string prefix, std::vector<NamedCommand> named, bool numeric);

    TranslatedCommand Translate(const std::string &topic, std::size_t payloadLength) const;

private:
    TranslatedCommand Numeric(const std::string &classText, const std::string &typeText) const;

    std::string prefix;
    std::vector<NamedCommand> named;
    bool numeric;
};
