#include "packet_text.h"

#include <cstdio>
#include <cstring>

#include "include/dvrplugin.h"

namespace {

constexpr std::size_t SHOWN_PAYLOAD_BYTES = 64;
constexpr std::size_t SHOWN_RAW_BYTES = 32;

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The byte that a one-letter escape stands for, or -1.
int SimpleEscape(char c) {
    switch (c) {
    case 'n':
        return '\n';
    case 't':
        return '\t';
    case 'r':
        return '\r';
    case '0':
        return '\0';
    case '\\':
        return '\\';
    default:
        return -1;
    }
}

} // namespace

std::string EscapedBytes(const uint8_t *bytes, std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        const uint8_t byte = bytes[i];
        const char *named = byte == '\n'   ? "\\n"
                            : byte == '\t' ? "\\t"
                            : byte == '\r' ? "\\r"
                            : byte == '\\' ? "\\\\"
                            : byte == '"'  ? "\\\""
                                           : nullptr;
        char escape[8];
        if (named == nullptr && (byte < 32 || byte > 126)) {
            std::snprintf(escape, sizeof escape, "\\x%02x", byte);
            named = escape;
        }
        if (named != nullptr) {
            text += named;
        } else {
            text.push_back(static_cast<char>(byte));
        }
    }
    return text;
}

std::string BuildPacket(uint32_t type, uint32_t address, const std::string &payload) {
    const IpcHeader header{static_cast<uint32_t>(sizeof header + payload.size()), address, type, 0};
    std::string packet(reinterpret_cast<const char *>(&header), sizeof header);
    return packet + payload;
}

bool DecodeEscapes(const std::string &text, std::string &bytes) {
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes.push_back(text[i]);
            continue;
        }
        if (++i == text.size()) {
            return false;
        }
        const int simple = SimpleEscape(text[i]);
        if (simple >= 0) {
            bytes.push_back(static_cast<char>(simple));
            continue;
        }
        if (text[i] != 'x' || i + 2 >= text.size() || HexValue(text[i + 1]) < 0 || HexValue(text[i + 2]) < 0) {
            return false;
        }
        bytes.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
        i += 2;
    }
    return true;
}

std::string DescribePacket(const uint8_t *packet, std::size_t length) {
    char line[96];
    IpcHeader header{};
    if (length >= sizeof header) {
        std::memcpy(&header, packet, sizeof header);
    }
    if (length < sizeof header || header.PacketLength != length) {
        const std::size_t shown = length < SHOWN_RAW_BYTES ? length : SHOWN_RAW_BYTES;
        std::snprintf(line, sizeof line, "%zu bytes: ", length);
        std::string hex;
        for (std::size_t i = 0; i < shown; ++i) {
            hex += (i == 0 ? "" : " ") + HexBytes(packet + i, 1);
        }
        return line + hex + (shown < length ? " ..." : "");
    }
    std::snprintf(line, sizeof line, "%zu bytes, address 0x%08X type %u: \"", length,
                  static_cast<unsigned>(header.Address), static_cast<unsigned>(header.PacketType));
    const std::size_t payload = length - sizeof header;
    const std::size_t shown = payload < SHOWN_PAYLOAD_BYTES ? payload : SHOWN_PAYLOAD_BYTES;
    return line + EscapedBytes(packet + sizeof header, shown) + (shown < payload ? "\" ..." : "\"");
}

std::string HexBytes(const uint8_t *bytes, std::size_t length) {
    static const char DIGITS[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        hex.push_back(DIGITS[bytes[i] >> 4]);
        hex.push_back(DIGITS[bytes[i] & 0xF]);
    }
    return hex;
}
