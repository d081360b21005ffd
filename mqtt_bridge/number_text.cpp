#include "mqtt_bridge/number_text.h"

#include <cstdio>

namespace {

std::optional<uint32_t> ParseDigits(const std::string &digits, int base) {
    if (digits.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (const char c : digits) {
        int digit = 0;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        value = value * base + digit;
        if (value > UINT32_MAX) {
            return std::nullopt;
        }
    }
    return static_cast<uint32_t>(value);
}

bool HasHexPrefix(const std::string &text) {
    return text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
}

} // namespace

std::optional<uint32_t> ParseNumber(const std::string &text) {
    return HasHexPrefix(text) ? ParseDigits(text.substr(2), 16) : ParseDigits(text, 10);
}

std::optional<uint32_t> ParseHexNumber(const std::string &text) {
    return ParseDigits(HasHexPrefix(text) ? text.substr(2) : text, 16);
}

std::string HexDigits(uint32_t value) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}
