#pragma once

// Starting programs for the tests and the benchmarks: the core, the SDK's
// tools, the broker and its helpers. Everything the child needs is made
// before the fork; between the fork and the exec it only arranges
// descriptors, changes directory and runs the caller's last step.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "tests/support/wait_until.h"

namespace testsupport {

struct ChildOptions {
    // The program's arguments, its name first; found through PATH when the
    // name holds no slash.
    std::vector<std::string> command;
    // The file to run when it is not command[0] (which is then only the
    // name the program sees).
    std::string program;
    // The working directory; empty: this process's.
    std::string directory;
    // Standard input (-1: /dev/null), output and error (-1: this process's).
    int input = -1;
    int output = -1;
    int errors = -1;
    // Further descriptors that the program keeps under their numbers.
    std::vector<int> inherited;
    // Runs in the child just before the program replaces it.
    std::function<void()> beforeExec;
};

// Exit codes of a child that did not become its program.
constexpr int CHILD_NO_DIRECTORY = 126;
constexpr int CHILD_NOT_STARTED = 127;

// The child's process ID, or -1 when none could be made. A program that
// cannot be run ends the child with CHILD_NOT_STARTED and a line on its
// standard error; a missing directory with CHILD_NO_DIRECTORY.
pid_t StartChild(const ChildOptions &options);

// The wait status once the child has ended (it is then reaped), or nothing
// within the timeout.
std::optional<int> WaitForEnd(pid_t pid, Seconds timeout);
// The wait status once the child has ended, however long that takes; -1
// when there is no such child.
int AwaitEnd(pid_t pid);
// A wait status as an exit code: 128 + the signal when killed.
int ExitCode(int status);

} // namespace testsupport
