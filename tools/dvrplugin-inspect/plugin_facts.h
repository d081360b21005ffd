#pragma once

#include <string>
#include <utility>
#include <vector>

#include "dvrplugin_testkit.h"
#include "testkit/src/elf_exports.h"

// What inspecting one plugin library found. Filled by InspectPlugin: first
// from the file alone (what it is, who may change it, what it exports),
// then, when nothing there refuses it, by running it in a child process;
// read by the refusal checks, the report and the set checks.
struct PluginFacts {
    std::string path;

    // From the file, without running it.
    std::string fileProblem;      // not empty: not a regular file, or not readable
    std::string rootTrustProblem; // not empty: a core running as root refuses it
    dvrtest::ElfFacts elf;
    std::vector<std::string> entries; // exported entry points, in the core's order
    bool entriesKnown = false;        // from the file's symbol table, or else from the loader
    std::vector<std::pair<std::string, std::string>> cxxEntries; // entries exported only under C++ names

    // Running it: whether it ran, and as whom.
    std::string notRun;      // not empty: why its code was not run
    std::string ranAs;       // "the user nobody" when root's privileges were dropped
    std::string loaderError; // not empty: the dynamic loader refused the library
    bool loadCalled = false;
    dvrtest::CallResult load;
    _LoadParmsOut info{};              // valid when Load was called
    std::vector<std::string> logLines; // texts the plugin logged while inspected
    std::size_t otherEvents = 0;       // everything else it raised
    std::string crashed;               // not empty: "Load with signal 11 (SIGSEGV)"
    std::string hung;                  // not empty: the call that did not return in time

    bool Exports(const std::string &entry) const;
    bool Loaded() const { return loadCalled && load.Ok(); }
};

// Inspects one library as the core would load it. Nothing of the library
// runs unless it is a regular file (opened without blocking) for this
// machine, with a Load, that nobody but root (or the user running the
// inspector) can change; it then runs in a child process, as the user
// nobody when the inspector runs as root, which opens it, calls Load, then
// Close (the cue for a worker thread started at Load to return) and Unload.
// Open is never called. The child is killed after `seconds`.
PluginFacts InspectPlugin(const std::string &path, double seconds);
