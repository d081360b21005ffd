#include "mqtt_bridge/xml_writing.h"

#include <cstdio>

XmlElementText::XmlElementText(const std::string &name) : name(name), text("<" + name) {}

void XmlElementText::Attribute(const std::string &attribute, const std::string &value) {
    text += " " + attribute + "=\"" + XmlEscaped(value) + "\"";
}

void XmlElementText::Attribute(const std::string &attribute, uint64_t value) {
    Attribute(attribute, std::to_string(value));
}

void XmlElementText::Attribute(const std::string &attribute, int64_t value) {
    Attribute(attribute, std::to_string(value));
}

void XmlElementText::Child(const std::string &closedElement) {
    if (open) {
        text += ">";
        open = false;
    }
    text += closedElement;
}

void XmlElementText::Text(const std::string &content) {
    if (open) {
        text += ">";
        open = false;
    }
    text += XmlEscaped(content);
}

std::string XmlElementText::Closed() {
    if (open) {
        text += " />";
    } else {
        text += "</" + name + ">";
    }
    return std::move(text);
}

std::string XmlDocumentText(const std::string &rootChildren) { return "<?xml ?><kDVR>" + rootChildren + "</kDVR>"; }

std::string XmlEscaped(const std::string &text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            escaped += "&amp;";
            break;
        case '<':
            escaped += "&lt;";
            break;
        case '>':
            escaped += "&gt;";
            break;
        case '"':
            escaped += "&quot;";
            break;
        default:
            const bool carried = static_cast<unsigned char>(c) >= 0x20 || c == '\t' || c == '\n' || c == '\r';
            escaped += carried ? c : '?';
        }
    }
    return escaped;
}

std::string UtcMillisecondsText(int64_t millisecondsSinceEpoch) {
    const std::time_t seconds = static_cast<std::time_t>(millisecondsSinceEpoch / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(millisecondsSinceEpoch % 1000));
    return text;
}

std::string UtcTimeText(std::time_t seconds) {
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}
