#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The length that means "up to the first NUL byte".
//
// Threads: pure, for any thread.
constexpr uint32_t SPLIT_TO_NUL = 0xFFFFFFFFu;

// Splits [start, start + length) at every separator byte. A range ending in
// a separator yields a final empty piece; an empty range one empty piece; a
// null start no piece at all.
std::vector<std::string> SplitStrings(const char *start, uint32_t length, char separator);
