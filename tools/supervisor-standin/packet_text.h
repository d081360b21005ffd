#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Packets as bytes and as text, for the stand-in's command line and output.

// A packet with the 16-byte header: length, address, type, 0; then payload.
std::string BuildPacket(uint32_t type, uint32_t address, const std::string &payload);

// Turns \n \t \r \0 \\ and \xHH into their bytes; false on any other escape.
bool DecodeEscapes(const std::string &text, std::string &bytes);

// One line about a packet from the core: its header fields and a readable
// start of the payload when it opens with a header that names its length,
// otherwise its first bytes in hex.
std::string DescribePacket(const uint8_t *packet, std::size_t length);

// Bytes as a C string literal shows them, without the quotes.
std::string EscapedBytes(const uint8_t *bytes, std::size_t length);

// Every byte as two hex digits, separated by nothing.
std::string HexBytes(const uint8_t *bytes, std::size_t length);
