#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "include/dvrplugin.h"
#include "mqtt_bridge/settings.h"
#include "mqtt_bridge/topics.h"

// Which delivered events the bridge publishes and where, and the event masks that bring them.
// Log lines from the minimum level up go to log topics; status documents (CLASS_STATUS with
// TYPE_DOCUMENT) are kept as retained documents; plugins' answers to commands (the answer class
// and type with the bridge's mark, mqtt_bridge_commands.h) go to the command's answer; other
// events go to event topics when a publish rule takes them; of the configuration documents
// only the modules report is published (the others may carry other plugins' settings).
class EventRouter {
public:
    struct Route {
        enum class Kind { None, Message, Document, Answer };
        Kind kind = Kind::None;
        std::string topic;
        const char *data = nullptr; // the event's own bytes: copy before the call returns
        std::size_t length = 0;
        std::string name;     // a status document's first element
        uint32_t request = 0; // an answer's request number
    };

    EventRouter(const BridgeSettings &settings, const TopicScheme &topics);

    // Every class the bridge needs: all log lines, all status documents, and the rules' types.
    void FillMasks(uint32_t (&masks)[EVENT_MASK_COUNT]) const;
    Route ForEvent(const _WriteParmsIn &event) const;
    Route ForConfiguration(const void *data, uint32_t length) const;

private:
    Route ForLogLine(const _WriteParmsIn &event) const;
    Route ForStatus(const _WriteParmsIn &event) const;
    bool RuleTakes(const _WriteParmsIn &event) const;

    TopicScheme topics;
    bool publishLog;
    uint32_t minimumLogLevel;
    std::vector<PublishRule> rules;
    uint32_t answerClass;
    uint32_t answerType;
};
