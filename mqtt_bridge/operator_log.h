#pragma once

#include <string>

#include "mqtt_bridge/bridge_status.h"
#include "mqtt_bridge/core_events.h"
#include "mqtt_bridge/system_log.h"

// Where the bridge tells people what happens. Every line goes to the core's console (level 0);
// errors an operator must act on (a refused connection, a broker out of reach, settings that
// keep the bridge off, a refused command) also go to the system log and become the `bridge`
// document's last error. Texts from the broker must be made printable (text_safety.h) before
// they get here; no text may hold a secret.
//
// Thread-safe: its parts are.
class OperatorLog {
public:
    OperatorLog(const CoreEvents &events, SystemLog &systemLog, BridgeStatus &status)
        : events(events), systemLog(systemLog), status(status) {}

    void Note(const std::string &text) const;
    void Error(const std::string &text) const;

private:
    const CoreEvents &events;
    SystemLog &systemLog;
    BridgeStatus &status;
};
