#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "loaded_plugins.h"

// The bus monitor plugin's summaries as lines: when a delivered event came,
// from which plugin, of which class and type, how long, and its first bytes.
// Plugins are named by their file names from the modules report.
class MonitorView {
public:
    explicit MonitorView(LoadedPlugins &plugins) : plugins(plugins) {}

    // Whether the packet is a bus monitor summary; if so, its lines (the
    // events the rate limit left out before it, then the event) in `lines`.
    bool Describe(const uint8_t *packet, std::size_t length, std::vector<std::string> &lines);

private:
    LoadedPlugins &plugins;
};
