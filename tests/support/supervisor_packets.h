#pragma once

// Records and packets as the supervisor writes them, and console counts, for
// tests that talk to the core over its supervisor link.

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include <sys/socket.h>

#include <gtest/gtest.h>

#include "include/dvrplugin.h"
#include "tests/support/core_harness.h"

namespace coretest {

inline std::string RawPacket(uint32_t length, uint32_t address, uint32_t type, uint32_t reserved,
                             const std::string &payload) {
    const IpcHeader header{length, address, type, reserved};
    return std::string(reinterpret_cast<const char *>(&header), sizeof header) + payload;
}

inline std::string Packet(uint32_t address, uint32_t type, const std::string &payload) {
    return RawPacket(static_cast<uint32_t>(sizeof(IpcHeader) + payload.size()), address, type, 0, payload);
}

// One send is one record on the socket.
inline void SendRecord(const CoreProcess &core, const std::string &bytes) {
    ASSERT_EQ(send(core.SupervisorSocket(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
}

inline bool WaitForConsoleCount(const CoreProcess &core, const std::string &text, std::size_t count, Seconds timeout) {
    return WaitUntil([&] { return Count(core.Console(), text) >= count; }, timeout);
}

} // namespace coretest
