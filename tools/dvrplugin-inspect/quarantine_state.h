#pragma once

#include <string>

// A plugin library's standing in the crash quarantine of a core, read from
// core.xml in the core's working directory with the core's own reader and
// rule: a description for the report and, when the core would refuse the
// library, its reason in the core's words.
struct QuarantineState {
    std::string description;
    std::string refusal; // empty: the quarantine does not keep the library out
};

QuarantineState ReadQuarantineState(const std::string &coreDirectory, const std::string &libraryPath);
