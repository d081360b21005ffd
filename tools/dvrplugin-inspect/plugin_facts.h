#pragma once

#include <string>
#include <vector>

#include "dvrplugin_testkit.h"

// What inspecting one plugin library found: whether the loader took it, the
// entry points it exports, and what its Load described. Filled by
// InspectPlugin; read by the refusal checks and the report.
struct PluginFacts {
    std::string path;
    std::string loaderError;          // not empty: the dynamic loader refused the library
    std::vector<std::string> entries; // exported entry points, in the core's order
    bool loadCalled = false;
    dvrtest::CallResult load;
    _LoadParmsOut info{};              // valid when Load was called
    std::vector<std::string> logLines; // texts the plugin logged while inspected
    std::size_t otherEvents = 0;       // everything else it raised

    bool Exports(const std::string &entry) const;
    bool Loaded() const { return loadCalled && load.Ok(); }
};

// Runs the library through the test kit in this process as the core would
// load it: opens it, calls Load, then Close (the cue for a worker thread
// started at Load to return) and Unload. Open is never called, so the
// plugin starts no work of its own. A library without Load is only opened.
PluginFacts InspectPlugin(const std::string &path);
