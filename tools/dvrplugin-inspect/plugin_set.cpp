#include "plugin_set.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>

#include <boost/filesystem/path.hpp>

#include "plugin/plugin_discovery.h"

namespace {

std::string FileName(const std::string &path) { return boost::filesystem::path(path).filename().string(); }

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIX32, value);
    return text;
}

} // namespace

void SortMembersInLoadingOrder(std::vector<SetMember> &members) {
    std::vector<std::string> paths;
    for (const SetMember &member : members) {
        paths.push_back(member.path);
    }
    SortInLoadingOrder(paths);
    std::vector<SetMember> sorted;
    for (const std::string &path : paths) {
        const auto found = std::find_if(members.begin(), members.end(),
                                        [&path](const SetMember &member) { return member.path == path; });
        sorted.push_back(*found);
        members.erase(found);
    }
    members = std::move(sorted);
}

SetFindings CheckPluginSet(const std::vector<SetMember> &members) {
    SetFindings findings;
    std::map<uint32_t, const SetMember *> idHolders;
    std::map<uint32_t, const SetMember *> addressHolders;
    for (const SetMember &member : members) {
        findings.loads.push_back(member.loads);
        if (!member.loads) {
            continue;
        }
        const auto [holder, first] = idHolders.emplace(member.id, &member);
        if (!first) {
            findings.refusals.push_back(FileName(member.path) + ": its ID " + Hex(member.id) + " is taken by " +
                                        FileName(holder->second->path) + ", which loads first (\"already loaded\")");
            findings.loads.back() = false;
            continue;
        }
        const uint32_t address = SupervisorAddressOf(member.id);
        const auto [taker, firstAtAddress] = addressHolders.emplace(address, &member);
        if (!firstAtAddress) {
            findings.warnings.push_back(FileName(member.path) + " never gets a supervisor packet: address " +
                                        Hex(address) + " reaches " + FileName(taker->second->path) + " (ID " +
                                        Hex(taker->second->id) +
                                        "), which loads first and whose ID has the same "
                                        "bits 16-27");
        }
    }
    return findings;
}
