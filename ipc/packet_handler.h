#pragma once

#include <cstdint>
#include <string>

// Where the supervisor link sends what it does not handle itself: the stop,
// and the packets for plugins. One virtual call per packet, on the asio
// thread alone.
class PacketHandler {
public:
    struct Forwarded {
        bool taken;                     // a plugin's IOCTL got the packet
        std::string pluginWithoutIoctl; // else: the addressed plugin, when it exports no IOCTL
    };

    virtual ~PacketHandler() = default;
    // A stop packet, or the link lost.
    virtual void RequestStop() = 0;
    // Gives the packet to the plugin that its address names.
    virtual Forwarded Forward(const uint8_t *packet, uint32_t length) = 0;
};
