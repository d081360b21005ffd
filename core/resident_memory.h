#pragma once

#include <cstdint>

// The process's resident set size in bytes, 0 when it cannot be read.
// 64 bits wide so that a resident size above 4 GiB does not wrap.
//
// Threads: any (the asio thread's tick in the core); no shared state.
uint64_t ResidentMemoryBytes();
