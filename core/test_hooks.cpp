#include "test_hooks.h"

__attribute__((weak)) void OnSupervisorPacketForTests(uint32_t) {}
