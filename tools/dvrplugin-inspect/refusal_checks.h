#pragma once

#include <optional>
#include <string>
#include <vector>

#include "plugin_facts.h"

// Why the core would refuse a plugin library. A check looks at what the
// inspection found and names its reason, or nothing when it does not apply;
// the inspector reports every reason that applies, in the order of the
// checks.
using RefusalCheck = std::optional<std::string> (*)(const PluginFacts &facts);

// The core's reasons, in the order in which it meets them while loading.
const std::vector<RefusalCheck> &CoreRefusalChecks();

std::vector<std::string> RefusalReasons(const PluginFacts &facts,
                                        const std::vector<RefusalCheck> &checks = CoreRefusalChecks());
