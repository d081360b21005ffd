#pragma once

#include <cstddef>
#include <cstdint>

// The length of the UTF-8 sequence at `text` (at most `available` bytes), its code point stored
// in `codePoint`; 0 when the sequence is not valid: a stray or missing continuation byte, an
// overlong form, a surrogate, a code point beyond U+10FFFF, or a sequence cut off.
std::size_t DecodeUtf8(const unsigned char *text, std::size_t available, uint32_t &codePoint);
