#include "mqtt_bridge/operator_log.h"

#include <ctime>

void OperatorLog::Note(const std::string &text) const { events.Log("%s", text.c_str()); }

void OperatorLog::Error(const std::string &text) const {
    events.Log("%s", text.c_str());
    systemLog.Warn(text);
    status.RecordError(text, std::time(nullptr));
}
