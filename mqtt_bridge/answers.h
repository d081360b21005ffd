#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "mqtt_bridge/settings.h"

// The one answer a command gets, in the documents' form.
//   XML:  <?xml ?><kDVR><Answer Command="poke" Status="accepted" Result="0" /></kDVR>
//   JSON: {"command":"poke","status":"accepted","result":0}
// Status "accepted" carries the event's Result; "refused" and "unanswered" a Reason; "answered"
// the answering plugin's Source (eight hexadecimal digits) and its data: in XML as the element's
// text, with Encoding="base64" when it is not plain text; in JSON as "data" and "encoding".
struct Answer {
    std::string command; // the name, or the numeric "<class>/<type>", or the topic's rest
    std::string status;
    std::optional<int32_t> result;
    std::string reason;
    std::optional<uint32_t> source;
    std::string data;
};

std::string AnswerText(const Answer &answer, DocumentForm form);
