#pragma once

#include <chrono>
#include <cstdint>
#include <random>

// Delays between connection attempts: the minimum, doubled after every failed attempt up to the
// maximum, each shortened by up to a quarter at random so that a fleet of recorders does not
// come back to a restarted broker all at the same moment.
class ReconnectBackoff {
public:
    using Delay = std::chrono::milliseconds;

    ReconnectBackoff(Delay minimum, Delay maximum, uint32_t seed);

    // The delay before the next attempt; the one after it is longer.
    Delay Next();
    // After a successful connection: back to the minimum.
    void Reset();

private:
    Delay minimum;
    Delay maximum;
    Delay current;
    std::mt19937 random;
};
