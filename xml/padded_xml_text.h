#pragma once

#include <cstddef>
#include <string>
#include <utility>

// A NUL-terminated copy of an XML text followed by three more NUL bytes. TinyXML takes the length
// of a UTF-8 character from its lead byte and steps over the whole length even when the text ends
// inside the character, up to three bytes past the terminator; with the padding it finds NULs
// there and stops instead of reading whatever follows the buffer.
//
// Threads: one owner at a time; no shared state.
class PaddedXmlText {
public:
    explicit PaddedXmlText(std::string text) : bytes(std::move(text)), length(bytes.size()) {
        bytes.append(PADDING_BYTES, '\0');
    }

    const char *c_str() const { return bytes.c_str(); }
    std::size_t size() const { return length; }

private:
    static constexpr std::size_t PADDING_BYTES = 3;

    std::string bytes;
    std::size_t length;
};
