#pragma once

// Runs one of the SDK's command-line tools as an author would, through the
// build's emulator where there is one, and collects what it printed.

#include <string>
#include <vector>

#include "tests/support/core_harness.h"

namespace tooltest {

struct ToolRun {
    int exitCode = -1;  // 128 + the signal when killed
    std::string output; // standard output and standard error, interleaved
};

// Runs `command` in `directory`, killed after `timeout`, with standard input
// from /dev/null.
ToolRun RunTool(const std::vector<std::string> &command, const std::string &directory, coretest::Seconds timeout);

// The emulator's words, to put before a program built for the target.
std::vector<std::string> Emulated(const std::string &program);

} // namespace tooltest
