#pragma once

#include <cstdint>

// A point where a test build of the core can act inside the core's own code:
// called on the asio thread for every supervisor packet before it is
// forwarded. The shipped core's definition (test_hooks.cpp) is weak and does
// nothing; only an executable built for the tests defines another.
void OnSupervisorPacketForTests(uint32_t packetType);
