#pragma once

#include "plugin_facts.h"

// Runs the library's code in a child process of its own and fills what that
// found into `facts` (the loader's refusal, Load's results and description,
// what the plugin raised), or how the child ended: a signal, or no return
// within `seconds` (it is then killed). The child tells its findings
// through a pipe as it goes, so that even a child that dies has told what
// it did before. When the inspector runs as root, the child first drops
// root's privileges (privileges.h); a child that cannot is not run on.
void RunInChild(PluginFacts &facts, double seconds);
