#include "mqtt_bridge/text_safety.h"

#include <cstdint>

#include "mqtt_bridge/utf8_sequence.h"

namespace {

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
