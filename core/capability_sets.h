#pragma once

// The capabilities that a core not running as root keeps: the network ones
// for good, raw I/O only until the plugins are open.
//
// Threads: constants, for any thread.

#include <cstdint>

#include <linux/capability.h>

constexpr uint32_t NETWORK_CAPABILITIES = CAP_TO_MASK(CAP_NET_ADMIN) | CAP_TO_MASK(CAP_NET_RAW);
constexpr uint32_t RAW_IO_CAPABILITY = CAP_TO_MASK(CAP_SYS_RAWIO);

constexpr uint32_t CAPABILITIES_KEPT_WHILE_STARTING = NETWORK_CAPABILITIES | RAW_IO_CAPABILITY;
constexpr uint32_t CAPABILITIES_KEPT_ONCE_OPEN = NETWORK_CAPABILITIES;
