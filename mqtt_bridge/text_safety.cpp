#include "mqtt_bridge/text_safety.h"

#include <cstdint>

namespace {

// The length of the UTF-8 sequence at `text` and its code point, or 0 when it is not valid.
std::size_t DecodeUtf8(const unsigned char *text, std::size_t available, uint32_t &codePoint) {
    const unsigned char lead = text[0];
    std::size_t length = 0;
    uint32_t lowest = 0;
    if (lead < 0x80) {
        codePoint = lead;
        return 1;
    } else if ((lead & 0xE0) == 0xC0) {
        length = 2;
        codePoint = lead & 0x1F;
        lowest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        codePoint = lead & 0x0F;
        lowest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        codePoint = lead & 0x07;
        lowest = 0x10000;
    } else {
        return 0;
    }
    if (length > available) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((text[i] & 0xC0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (text[i] & 0x3F);
    }
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    return codePoint < lowest || codePoint > 0x10FFFF || surrogate ? 0 : length;
}

bool IsControl(uint32_t codePoint) { return codePoint < 0x20 || (codePoint >= 0x7F && codePoint <= 0x9F); }

} // namespace

std::string PrintableText(const char *text, std::size_t length, std::size_t limit) {
    std::string shown;
    const auto *bytes = reinterpret_cast<const unsigned char *>(text);
    std::size_t at = 0;
    while (at < length) {
        uint32_t codePoint = 0;
        const std::size_t size = DecodeUtf8(bytes + at, length - at, codePoint);
        const std::size_t kept = size == 0 || IsControl(codePoint) ? 1 : size;
        if (shown.size() + kept > limit) {
            break;
        }
        if (kept == 1 && (size != 1 || IsControl(codePoint))) {
            shown += '?';
        } else {
            shown.append(text + at, size);
        }
        at += size == 0 ? 1 : size;
    }
    return shown;
}
