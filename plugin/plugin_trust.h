#pragma once

#include <string>

#include <sys/types.h>

// Whether a core running as root may load the plugin library at `path`. Loading runs the library's
// code as root, so nobody but root and `coreUser` (the core's own user) may be able to change the
// library or the directory holding it: each must be owned by one of the two and writable by
// neither group nor others. A link is judged by its target, and then the directory holding the
// target is checked as well as the one holding the link.
//
// Returns why the library is refused, in plain words, or an empty string when it may be loaded.
//
// Threads: any; no shared state (the main thread asks while loading).
std::string PluginTrustProblem(const std::string &path, uid_t coreUser);
