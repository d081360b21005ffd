#include "mqtt_bridge/answers.h"

#include "mqtt_bridge/json_text.h"
#include "mqtt_bridge/number_text.h"
#include "mqtt_bridge/xml_writing.h"

namespace {

std::string JsonAnswer(const Answer &answer) {
    std::string json = "{\"command\":" + JsonString(answer.command) + ",\"status\":" + JsonString(answer.status);
    if (answer.result) {
        json += ",\"result\":" + std::to_string(*answer.result);
    }
    if (!answer.reason.empty()) {
        json += ",\"reason\":" + JsonString(answer.reason);
    }
    if (answer.source) {
        json += ",\"source\":\"" + HexDigits(*answer.source) + "\"," +
                JsonDataMembers(answer.data.data(), answer.data.size());
    }
    return json + "}";
}

std::string XmlAnswer(const Answer &answer) {
    XmlElementText element("Answer");
    element.Attribute("Command", answer.command);
    element.Attribute("Status", answer.status);
    if (answer.result) {
        element.Attribute("Result", static_cast<int64_t>(*answer.result));
    }
    if (!answer.reason.empty()) {
        element.Attribute("Reason", answer.reason);
    }
    if (answer.source) {
        element.Attribute("Source", HexDigits(*answer.source));
        if (IsPlainText(answer.data.data(), answer.data.size())) {
            element.Text(answer.data);
        } else {
            element.Attribute("Encoding", "base64");
            element.Text(Base64(answer.data.data(), answer.data.size()));
        }
    }
    return XmlDocumentText(element.Closed());
}

} // namespace

std::string AnswerText(const Answer &answer, DocumentForm form) {
    return form == DocumentForm::Json ? JsonAnswer(answer) : XmlAnswer(answer);
}
