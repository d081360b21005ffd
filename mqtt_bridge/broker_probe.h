#pragma once

#include <chrono>
#include <string>

// Whether the broker's port takes a TCP connection, found without blocking: every address of
// the host in turn, until one connects, `deadline` passes or `wakeDescriptor` becomes readable
// (the link is stopping). Empty when one connected; else why not. The host name is looked up
// with the system's resolver, which may wait.
std::string ProbeBroker(const std::string &host, int port, int wakeDescriptor,
                        std::chrono::steady_clock::time_point deadline);
