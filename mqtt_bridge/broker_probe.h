#pragma once

#include <atomic>
#include <chrono>
#include <string>

// Whether the broker's port takes a TCP connection, found without blocking: every address of
// the host in turn, until one connects, `deadline` passes or the link is `stopping`, which
// `wakeDescriptor` becoming readable makes it look at at once. The descriptor also wakes the
// link for other work, which waits until the probe ends: it is not read here. Empty when one
// connected; else why not. The host name is looked up with the system's resolver, which may
// wait.
std::string ProbeBroker(const std::string &host, int port, int wakeDescriptor, const std::atomic<bool> &stopping,
                        std::chrono::steady_clock::time_point deadline);
