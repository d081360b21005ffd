#include "refusal_checks.h"

#include <cstdio>

#include "plugin/plugin_trust.h"

namespace {

// The core on the device runs as root, and a root core refuses a library
// that anyone but root can change before it opens it.
std::optional<std::string> UntrustedFile(const PluginFacts &facts) {
    const std::string problem = PluginTrustProblem(facts.path, 0);
    if (problem.empty()) {
        return std::nullopt;
    }
    return "a core running as root refuses it: " + problem;
}

std::optional<std::string> LoaderRefusal(const PluginFacts &facts) {
    if (facts.loaderError.empty()) {
        return std::nullopt;
    }
    return "the dynamic loader refuses the library: " + facts.loaderError;
}

std::optional<std::string> MissingLoad(const PluginFacts &facts) {
    if (!facts.loaderError.empty() || facts.Exports(ENTRY_LOAD)) {
        return std::nullopt;
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
    static const std::vector<RefusalCheck> checks{UntrustedFile, LoaderRefusal,        MissingLoad,
                                                  FailedLoad,    ReservedJobControlId, CoreId};
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
