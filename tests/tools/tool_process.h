#pragma once

// Runs one of the SDK's command-line tools as an author would, through the
// build's emulator where there is one, and collects what it printed.

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "tests/support/core_harness.h"

namespace tooltest {

struct ToolRun {
    int exitCode = -1;  // 128 + the signal when killed
    std::string output; // standard output and standard error, interleaved
};

// Runs `command` in `directory`, killed after `timeout`, with standard input
// from /dev/null.
ToolRun RunTool(const std::vector<std::string> &command, const std::string &directory, coretest::Seconds timeout);

// A tool that runs while the test acts on it (signals, files), its output
// collected as it comes: through a pipe, or a pseudo-terminal when asked.
// Hung up, then killed, when the object goes while it still runs.
class RunningTool {
public:
    RunningTool(const std::vector<std::string> &command, const std::string &directory, bool onTerminal = false);
    ~RunningTool();
    RunningTool(const RunningTool &) = delete;
    RunningTool &operator=(const RunningTool &) = delete;

    pid_t Pid() const { return pid; }
    void Signal(int signal) const;
    std::string Output() const;
    bool WaitForOutput(const std::string &text, coretest::Seconds timeout) const;
    // The exit code (128 + signal when killed), or nothing within the timeout.
    std::optional<int> WaitForExit(coretest::Seconds timeout);

private:
    pid_t pid = -1;
    std::optional<int> exitCode;
    mutable std::mutex outputMutex;
    std::string output;
    std::thread reader;
};

// The emulator's words, to put before a program built for the target.
std::vector<std::string> Emulated(const std::string &program);

} // namespace tooltest
