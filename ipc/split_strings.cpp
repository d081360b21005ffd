#include "split_strings.h"

#include <cstring>

std::vector<std::string> SplitStrings(const char *start, uint32_t length, char separator) {
    std::vector<std::string> pieces;
    if (start == nullptr) {
        return pieces;
    }
    const std::size_t size = length == SPLIT_TO_NUL ? std::strlen(start) : length;
    const char *end = start + size;
    const char *piece = start;
    for (;;) {
        const auto *found = static_cast<const char *>(std::memchr(piece, separator, end - piece));
        if (found == nullptr) {
            pieces.emplace_back(piece, end);
            return pieces;
        }
        pieces.emplace_back(piece, found);
        piece = found + 1;
    }
}
