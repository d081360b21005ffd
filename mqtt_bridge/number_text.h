#pragma once

#include <cstdint>
#include <optional>
#include <string>

// Numbers written in settings and command topics. Both parsers take the whole text or nothing:
// no sign, no white space, no trailing characters, nothing beyond 32 bits.

// Decimal, or hexadecimal after "0x" or "0X".
std::optional<uint32_t> ParseNumber(const std::string &text);

// Hexadecimal, with or without "0x".
std::optional<uint32_t> ParseHexNumber(const std::string &text);

// Eight upper-case hexadecimal digits without "0x": how topics, event envelopes and answers write
// sources, classes and types.
std::string HexDigits(uint32_t value);
