#include "mqtt_bridge/document_names.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t NAME_LIMIT = 64;

bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

bool IsNameCharacter(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':'; }

// Walks a text that may end anywhere; every step stays within it.
class Scan {
public:
    Scan(const char *text, std::size_t length) : at(text), end(text + length) {}

    bool AtEnd() const { return at >= end; }
    bool StartsWith(const char *literal) const {
        const std::size_t length = std::strlen(literal);
        return static_cast<std::size_t>(end - at) >= length && std::memcmp(at, literal, length) == 0;
    }
    char Peek(std::size_t ahead = 0) const { return static_cast<std::size_t>(end - at) > ahead ? at[ahead] : '\0'; }
    void Skip(std::size_t count) { at += std::min(count, static_cast<std::size_t>(end - at)); }

    // Moves past the next `literal`, or to the end.
    void SkipPast(const char *literal) {
        while (!AtEnd() && !StartsWith(literal)) {
            ++at;
        }
        Skip(std::strlen(literal));
    }

    void SkipTo(char c) {
        while (!AtEnd() && *at != c) {
            ++at;
        }
    }

    // A markup node that is no element: a declaration, comment or other "<!" or "<?" node.
    bool SkipOtherMarkup() {
        if (StartsWith("<!--")) {
            SkipPast("-->");
        } else if (StartsWith("<![CDATA[")) {
            SkipPast("]]>");
        } else if (StartsWith("<?")) {
            SkipPast("?>");
        } else if (StartsWith("<!")) {
            SkipPast(">");
        } else {
            return false;
        }
        return true;
    }

    std::string Name() {
        const char *start = at;
        while (!AtEnd() && IsNameCharacter(*at)) {
            ++at;
        }
        return std::string(start, at);
    }

    // Past the end of a start tag, quoted values included; true when it closed itself ("/>").
    bool SkipStartTagRest() {
        char previous = '\0';
        while (!AtEnd()) {
            const char c = *at++;
            if (c == '"' || c == '\'') {
                SkipTo(c);
                Skip(1);
            } else if (c == '>') {
                return previous == '/';
            }
            previous = c;
        }
        return true;
    }

private:
    const char *at;
    const char *end;
};

// Moves to the next element start tag at this level; false at an end tag or the text's end.
bool NextElement(Scan &scan) {
    while (!scan.AtEnd()) {
        scan.SkipTo('<');
        if (scan.AtEnd() || scan.StartsWith("</")) {
            return false;
        }
        if (!scan.SkipOtherMarkup()) {
            if (IsNameStart(scan.Peek(1))) {
                scan.Skip(1);
                return true;
            }
            scan.Skip(1);
        }
    }
    return false;
}

} // namespace

std::string FirstElementInRoot(const char *text, std::size_t length) {
    if (text == nullptr) {
        return "";
    }
    Scan scan(text, length);
    if (!NextElement(scan)) {
        return "";
    }
    scan.Name();
    if (scan.SkipStartTagRest() || !NextElement(scan)) {
        return "";
    }
    const std::string name = scan.Name();
    const char after = scan.Peek();
    const bool nameEnded =
        after == '>' || after == '/' || after == ' ' || after == '\t' || after == '\n' || after == '\r';
    return nameEnded && name.size() <= NAME_LIMIT ? name : "";
}
