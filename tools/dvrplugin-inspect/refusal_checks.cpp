#include "refusal_checks.h"

#include <cstdio>

namespace {

std::optional<std::string> NoRegularFile(const PluginFacts &facts) {
    if (facts.fileProblem.empty()) {
        return std::nullopt;
    }
    return "the core loads only regular files: " + facts.fileProblem;
}

// The core on the device runs as root, and a root core refuses a library
// that anyone but root can change before it opens it.
std::optional<std::string> UntrustedFile(const PluginFacts &facts) {
    if (facts.rootTrustProblem.empty()) {
        return std::nullopt;
    }
    return "a core running as root refuses it: " + facts.rootTrustProblem;
}

std::optional<std::string> LoaderRefusal(const PluginFacts &facts) {
    if (!facts.fileProblem.empty() || (facts.elf.unloadable.empty() && facts.loaderError.empty())) {
        return std::nullopt;
    }
    return "the dynamic loader refuses the library: " +
           (facts.elf.unloadable.empty() ? facts.loaderError : facts.elf.unloadable);
}

// Read from the file, or from the loader when the file has no symbol table.
std::optional<std::string> MissingLoad(const PluginFacts &facts) {
    if (!facts.entriesKnown || facts.Exports(ENTRY_LOAD)) {
        return std::nullopt;
    }
    for (const auto &[entry, cxxName] : facts.cxxEntries) {
        if (entry == ENTRY_LOAD) {
            return "it exports no \"Load\": it has Load under the C++ name " + cxxName +
                   " (declare the entry points extern \"C\", or define DVRPLUGIN_DECLARE_ENTRY_POINTS before "
                   "including dvrplugin.h)";
        }
    }
    return std::string("it exports no \"Load\" (from C++, define the entry points inside extern \"C\")");
}

std::optional<std::string> FailedLoad(const PluginFacts &facts) {
    if (!facts.loadCalled || facts.load.Ok()) {
        return std::nullopt;
    }
    char reason[64];
    std::snprintf(reason, sizeof reason, "its Load returned %d error %d", facts.load.Result, facts.load.Error);
    return std::string(reason);
}

std::optional<std::string> Crashed(const PluginFacts &facts) {
    if (facts.crashed.empty()) {
        return std::nullopt;
    }
    return "its inspection ended in " + facts.crashed + ": the core would crash too";
}

std::optional<std::string> Hung(const PluginFacts &facts) {
    if (facts.hung.empty()) {
        return std::nullopt;
    }
    return "it did not return from " + facts.hung + " in time: the core would wait for it without end";
}

// Events with Source 0 are job control: such a plugin's events would start
// jobs and its log lines would vanish.
std::optional<std::string> ReservedJobControlId(const PluginFacts &facts) {
    if (!facts.Loaded() || facts.info.ID != JOB_CONTROL_SOURCE) {
        return std::nullopt;
    }
    return std::string("its ID 0 is reserved: events with Source 0 are job control commands");
}

std::optional<std::string> CoreId(const PluginFacts &facts) {
    if (!facts.Loaded() || facts.info.ID != CORE_SOURCE) {
        return std::nullopt;
    }
    return std::string("its ID 0x80000000 is the core's own (CORE_SOURCE)");
}

} // namespace

const std::vector<RefusalCheck> &CoreRefusalChecks() {
    static const std::vector<RefusalCheck> checks{NoRegularFile, UntrustedFile,        LoaderRefusal,
                                                  MissingLoad,   FailedLoad,           Crashed,
                                                  Hung,          ReservedJobControlId, CoreId};
    return checks;
}

std::vector<std::string> RefusalReasons(const PluginFacts &facts, const std::vector<RefusalCheck> &checks) {
    std::vector<std::string> reasons;
    for (const RefusalCheck check : checks) {
        if (auto reason = check(facts)) {
            reasons.push_back(std::move(*reason));
        }
    }
    return reasons;
}
