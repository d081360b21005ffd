#pragma once

#include <string>
#include <vector>

#include "standin_options.h"
#include "temporary_installation.h"

// Which plugins the core runs with when the options ask for a temporary
// installation (--plugins, --monitor): with --plugins, links to the files
// named, all in "plugins"; with --monitor alone, links to the plugins of the
// core's own installation, each in the directory it came from; and with
// --monitor, the bus monitor plugin in "plugins" as well.

// Where the bus monitor plugin is installed, relative to this program.
std::string BusMonitorPluginPath();

// Fails, saying why in `error`, on a missing path or on two plugins with the
// same file name in one directory.
bool PlanPluginDirectories(const StandinOptions &options, std::vector<PluginDirectory> &directories,
                           std::string &error);
