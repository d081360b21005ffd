#pragma once

#include <cstdint>
#include <ctime>
#include <string>

// The XML texts the bridge writes itself (its `bridge` and `info` documents, command answers),
// compact like the core's documents: "<?xml ?><kDVR>...</kDVR>".

// An element written in order: attributes first, then children or text, then closed.
class XmlElementText {
public:
    explicit XmlElementText(const std::string &name);

    void Attribute(const std::string &name, const std::string &value);
    void Attribute(const std::string &name, const char *value) { Attribute(name, std::string(value)); }
    void Attribute(const std::string &name, uint64_t value);
    void Attribute(const std::string &name, int64_t value);
    void Attribute(const std::string &name, int value) { Attribute(name, static_cast<int64_t>(value)); }
    void Attribute(const std::string &name, unsigned value) { Attribute(name, static_cast<uint64_t>(value)); }
    void Child(const std::string &closedElement);
    void Text(const std::string &text);
    // The element's whole text; the object is done with.
    std::string Closed();

private:
    std::string name;
    std::string text;
    bool open = true; // the start tag is not closed yet
};

std::string XmlDocumentText(const std::string &rootChildren);

// Escaped for an attribute value or text; characters XML cannot carry become '?'.
std::string XmlEscaped(const std::string &text);

// "2024-05-01T12:00:00Z" and "2024-05-01T12:00:00.123Z".
std::string UtcTimeText(std::time_t seconds);
std::string UtcMillisecondsText(int64_t millisecondsSinceEpoch);
