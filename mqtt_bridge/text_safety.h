#pragma once

#include <cstddef>
#include <string>

// Text that came from the broker (topics, payloads, reason strings) before it is printed on the
// console or written to the system log: a terminal must never receive its escape sequences.

// Every control character (C0, DEL and the C1 range, raw or encoded in UTF-8) and every byte
// that is not part of valid UTF-8 becomes '?'; the result is at most `limit` bytes, cut at a
// character boundary.
std::string PrintableText(const char *text, std::size_t length, std::size_t limit = 200);
inline std::string PrintableText(const std::string &text, std::size_t limit = 200) {
    return PrintableText(text.data(), text.size(), limit);
}
