#pragma once

#include <cstdint>
#include <string>

// The first number of the first "Uid:" line of a /proc status text (the real
// user id), or 0 when there is none.
//
// Threads: any; they share no state.
uint32_t UserIdFromStatus(const std::string &statusText);

// The real user id of the parent process, or 0 when it cannot be read.
uint32_t ParentUserId();
