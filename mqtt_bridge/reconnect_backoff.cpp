#include "mqtt_bridge/reconnect_backoff.h"

#include <algorithm>

ReconnectBackoff::ReconnectBackoff(Delay minimum, Delay maximum, uint32_t seed)
    : minimum(minimum), maximum(std::max(minimum, maximum)), current(minimum), random(seed) {}

ReconnectBackoff::Delay ReconnectBackoff::Next() {
    const Delay full = current;
    current = std::min(current * 2, maximum);
    std::uniform_int_distribution<Delay::rep> shortening(0, full.count() / 4);
    return full - Delay(shortening(random));
}

void ReconnectBackoff::Reset() { current = minimum; }
