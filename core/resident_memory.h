#pragma once

#include <cstdint>

// The process's resident set size in bytes, 0 when it cannot be read.
// 64 bits wide so that a resident size above 4 GiB does not wrap.
uint64_t ResidentMemoryBytes();
