#pragma once

#include <cstdio>

#include "plugin_facts.h"

// Prints what the inspection found about one library, below its path line,
// ending with the verdict: whether the core would load it, and every reason
// why not. Returns true when the core would load it.
bool PrintInspection(const PluginFacts &facts, std::FILE *out);
