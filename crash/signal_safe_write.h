#pragma once

#include <cstddef>

// Writes all `length` bytes to `file`, again after an interruption and after
// a short write; false when a write fails or writes nothing.
//
// Threads: any; async-signal-safe, for the crash handler.
bool WriteAll(int file, const char *text, std::size_t length);
