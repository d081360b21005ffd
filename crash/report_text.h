#pragma once

#include <cstddef>
#include <cstdint>

// Text built in a caller's fixed buffer with plain stores only: no
// allocation, no locale, no lock, so that a signal handler may build it.
// What does not fit is dropped; the buffer always holds a terminated text.
//
// Threads: one user at a time.
class ReportText {
public:
    ReportText(char *buffer, std::size_t capacity);
    ReportText(const ReportText &) = delete;
    ReportText &operator=(const ReportText &) = delete;

    ReportText &Add(const char *text);
    ReportText &Add(const char *text, std::size_t length);
    ReportText &Char(char character);
    ReportText &Decimal(uint64_t value);
    ReportText &Signed(int64_t value);
    // "0x" and lower-case digits.
    ReportText &Hex(uint64_t value);
    // Decimal, at least `digits` wide with leading zeros.
    ReportText &Padded(uint64_t value, unsigned digits);

    const char *Text() const { return buffer; }
    std::size_t Length() const { return used; }
    void Clear();

private:
    char *const buffer;
    const std::size_t capacity; // including the terminating NUL
    std::size_t used = 0;
};
