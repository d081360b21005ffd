#include "report_text.h"

ReportText::ReportText(char *buffer, std::size_t capacity) : buffer(buffer), capacity(capacity) {
    if (capacity > 0) {
        buffer[0] = '\0';
    }
}

void ReportText::Clear() {
    used = 0;
    if (capacity > 0) {
        buffer[0] = '\0';
    }
}

ReportText &ReportText::Char(char character) {
    if (used + 1 < capacity) {
        buffer[used++] = character;
        buffer[used] = '\0';
    }
    return *this;
}

ReportText &ReportText::Add(const char *text, std::size_t length) {
    for (std::size_t i = 0; i < length && text[i] != '\0'; ++i) {
        Char(text[i]);
    }
    return *this;
}

ReportText &ReportText::Add(const char *text) {
    if (text != nullptr) {
        while (*text != '\0') {
            Char(*text++);
        }
    }
    return *this;
}

ReportText &ReportText::Padded(uint64_t value, unsigned digits) {
    char reversed[24];
    unsigned count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && count < sizeof reversed);
    while (count < digits && count < sizeof reversed) {
        reversed[count++] = '0';
    }
    while (count > 0) {
        Char(reversed[--count]);
    }
    return *this;
}

ReportText &ReportText::Decimal(uint64_t value) { return Padded(value, 1); }

ReportText &ReportText::Signed(int64_t value) {
    if (value < 0) {
        Char('-');
        return Decimal(static_cast<uint64_t>(-(value + 1)) + 1);
    }
    return Decimal(static_cast<uint64_t>(value));
}

ReportText &ReportText::Hex(uint64_t value) {
    static const char DIGITS[] = "0123456789abcdef";
    char reversed[16];
    unsigned count = 0;
    do {
        reversed[count++] = DIGITS[value & 0xF];
        value >>= 4;
    } while (value != 0);
    Add("0x");
    while (count > 0) {
        Char(reversed[--count]);
    }
    return *this;
}
