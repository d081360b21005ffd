// The test build's definition of the core's test hook: the shipped core's
// does nothing (core/test_hooks.cpp).
#include "tests/support/crash_in_core.h"

#include "core/test_hooks.h"

namespace {

// A null pointer the compiler cannot see through.
int *volatile nowhere;

} // namespace

void OnSupervisorPacketForTests(uint32_t packetType) {
    if (packetType == CRASH_IN_CORE_PACKET) {
        *nowhere = 1;
    }
}
