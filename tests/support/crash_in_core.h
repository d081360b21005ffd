#pragma once

#include <cstdint>

// The supervisor packet type on which the test build of the core (the
// executable core_with_test_hooks, never installed) faults in its own code,
// on the asio thread, before the packet reaches any plugin.
constexpr uint32_t CRASH_IN_CORE_PACKET = 0x7C0DEDADu;
