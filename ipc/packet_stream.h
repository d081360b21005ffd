#pragma once

#include <cstdint>
#include <cstring>

#include "dvrplugin.h"

// Cuts whole supervisor packets from the front of a receive buffer.
//
// buffer holds `used` bytes starting at a packet boundary. Every complete
// packet is passed to onPacket(packet, length) in order and removed; a
// length above IPC_MAX_PACKET_LENGTH, or below the header's own 16 bytes
// (which would consume nothing and stall the stream), calls onBadLength()
// and drops every buffered byte. Returns the bytes left, moved to the start.
//
// Threads: pure, on the caller's buffer (the asio thread's receive buffer in the core).
template <typename OnPacket, typename OnBadLength>
uint32_t ExtractPackets(uint8_t *buffer, uint32_t used, OnPacket &&onPacket, OnBadLength &&onBadLength) {
    uint32_t consumed = 0;
    while (used - consumed >= sizeof(IpcHeader)) {
        uint32_t length;
        std::memcpy(&length, buffer + consumed, sizeof length);
        if (length > IPC_MAX_PACKET_LENGTH || length < sizeof(IpcHeader)) {
            onBadLength();
            return 0;
        }
        if (used - consumed < length) {
            break;
        }
        onPacket(buffer + consumed, length);
        consumed += length;
    }
    std::memmove(buffer, buffer + consumed, used - consumed);
    return used - consumed;
}

// Whether a packet's Address names the plugin: Address bits 20-31 against ID
// bits 16-27.
constexpr bool AddressesPlugin(uint32_t address, uint32_t pluginId) {
    return ((pluginId >> 16) & 0xFFFu) == (address >> 20);
}
