#include "mqtt_bridge/json_text.h"

#include <cstdio>
#include <map>
#include <vector>

#include "mqtt_bridge/utf8_sequence.h"
#include "xml/core_document.h"

namespace {

constexpr std::size_t NUMBER_DIGITS_LIMIT = 15;

std::size_t Utf8Length(const unsigned char *text, std::size_t available) {
    uint32_t codePoint = 0;
    return DecodeUtf8(text, available, codePoint);
}

bool IsNumber(const std::string &text) {
    std::size_t at = text.size() > 0 && text[0] == '-' ? 1 : 0;
    const std::size_t integerStart = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        ++at;
    }
    const std::size_t integerDigits = at - integerStart;
    if (integerDigits == 0 || (integerDigits > 1 && text[integerStart] == '0')) {
        return false;
    }
    std::size_t fractionDigits = 0;
    if (at < text.size() && text[at] == '.') {
        ++at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            ++at, ++fractionDigits;
        }
        if (fractionDigits == 0) {
            return false;
        }
    }
    return at == text.size() && integerDigits + fractionDigits <= NUMBER_DIGITS_LIMIT;
}

bool IsWhiteSpace(const std::string &text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

std::string ElementJson(const TiXmlElement &element) {
    std::vector<std::string> childNames;
    std::map<std::string, std::vector<const TiXmlElement *>> children;
    std::string text;
    for (const TiXmlNode *node = element.FirstChild(); node; node = node->NextSibling()) {
        if (const TiXmlElement *child = node->ToElement()) {
            if (children[child->ValueStr()].empty()) {
                childNames.push_back(child->ValueStr());
            }
            children[child->ValueStr()].push_back(child);
        } else if (const TiXmlText *content = node->ToText()) {
            text += content->ValueStr();
        }
    }
    std::string json = "{";
    auto member = [&json](const std::string &name, const std::string &value) {
        json += (json.size() > 1 ? "," : "") + JsonString(name) + ":" + value;
    };
    for (const TiXmlAttribute *a = element.FirstAttribute(); a; a = a->Next()) {
        member(children.count(a->NameTStr()) ? "@" + a->NameTStr() : a->NameTStr(), JsonValue(a->ValueStr()));
    }
    for (const std::string &name : childNames) {
        std::string array = "[";
        for (const TiXmlElement *child : children[name]) {
            array += (array.size() > 1 ? "," : "") + ElementJson(*child);
        }
        member(name, array + "]");
    }
    if (!IsWhiteSpace(text)) {
        member("#text", JsonString(text));
    }
    return json + "}";
}

} // namespace

std::string JsonString(const std::string &text) {
    std::string json = "\"";
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    std::size_t at = 0;
    while (at < text.size()) {
        const std::size_t length = Utf8Length(bytes + at, text.size() - at);
        if (length == 0) {
            json += "\xEF\xBF\xBD";
            ++at;
            continue;
        }
        const unsigned char c = bytes[at];
        if (c == '"' || c == '\\') {
            json += '\\';
            json += static_cast<char>(c);
        } else if (c == '\n') {
            json += "\\n";
        } else if (c == '\r') {
            json += "\\r";
        } else if (c == '\t') {
            json += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", c);
            json += escape;
        } else {
            json.append(text, at, length);
        }
        at += length;
    }
    return json + "\"";
}

std::string Base64(const char *data, std::size_t length) {
    static const char DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    std::string encoded;
    encoded.reserve((length + 2) / 3 * 4);
    for (std::size_t at = 0; at < length; at += 3) {
        const uint32_t group =
            (bytes[at] << 16) | (at + 1 < length ? bytes[at + 1] << 8 : 0) | (at + 2 < length ? bytes[at + 2] : 0);
        encoded += DIGITS[(group >> 18) & 0x3F];
        encoded += DIGITS[(group >> 12) & 0x3F];
        encoded += at + 1 < length ? DIGITS[(group >> 6) & 0x3F] : '=';
        encoded += at + 2 < length ? DIGITS[group & 0x3F] : '=';
    }
    return encoded;
}

bool IsPlainText(const char *data, std::size_t length) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    std::size_t at = 0;
    while (at < length) {
        const std::size_t size = Utf8Length(bytes + at, length - at);
        const unsigned char c = bytes[at];
        if (size == 0 || (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) {
            return false;
        }
        at += size;
    }
    return true;
}

std::string JsonDataMembers(const char *data, std::size_t length) {
    if (IsPlainText(data, length)) {
        return "\"data\":" + JsonString(std::string(data, length)) + ",\"encoding\":\"text\"";
    }
    return "\"data\":\"" + Base64(data, length) + "\",\"encoding\":\"base64\"";
}

std::string JsonValue(const std::string &attributeValue) {
    return IsNumber(attributeValue) ? attributeValue : JsonString(attributeValue);
}

std::optional<std::string> XmlToJson(const char *text, std::size_t length) {
    while (length > 0 && text[length - 1] == '\0') {
        --length;
    }
    const std::string copy(text, length);
    CoreDocument document;
    document.Parse(copy.c_str());
    const TiXmlElement *root = document.RootElement();
    if (document.Error() || !root) {
        return std::nullopt;
    }
    return ElementJson(*root);
}
