#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The libraries of a directory (or of several) as the core would load them
// together: in its loading order, the first holder of an ID keeps it and
// later ones are refused ("already loaded"); the first plugin whose ID bits
// 16-27 match a packet's address bits 20-31 takes every such packet, so a
// later one with the same bits never gets one. Pure, for the inspector's
// closing section and its tests.

// One library of the set, as its own inspection found it.
struct SetMember {
    std::string path;
    bool loads = false; // the core would load it on its own
    uint32_t id = 0;    // valid when it loads
    bool exportsIoctl = false;
};

struct SetFindings {
    std::vector<bool> loads;           // per member: whether the core loads it in the set
    std::vector<std::string> refusals; // why the set refuses members that load on their own
    std::vector<std::string> warnings; // what the set does to the members it loads
};

// The members in the core's loading order, by their paths.
void SortMembersInLoadingOrder(std::vector<SetMember> &members);

// The findings over members already in loading order.
SetFindings CheckPluginSet(const std::vector<SetMember> &members);

// The supervisor address that reaches a plugin: its ID bits 16-27 in bits 20-31.
constexpr uint32_t SupervisorAddressOf(uint32_t id) { return ((id >> 16) & 0xFFFu) << 20; }
