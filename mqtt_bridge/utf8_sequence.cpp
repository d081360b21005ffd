#include "mqtt_bridge/utf8_sequence.h"

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
