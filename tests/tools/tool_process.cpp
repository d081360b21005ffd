#include "tests/tools/tool_process.h"

#include <cerrno>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "tests/support/child_process.h"

namespace tooltest {

ToolRun RunTool(const std::vector<std::string> &command, const std::string &directory, coretest::Seconds timeout) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return {};
    }
    // timeout(1) kills a hung tool, so a fault shows as a failure, not a stall.
    testsupport::ChildOptions child;
    child.command = {"timeout", "-s", "KILL", std::to_string(timeout.count())};
    child.command.insert(child.command.end(), command.begin(), command.end());
    child.directory = directory;
    child.output = pipeEnds[1];
    child.errors = pipeEnds[1];
    const pid_t pid = testsupport::StartChild(child);
    close(pipeEnds[1]);
    if (pid < 0) {
        close(pipeEnds[0]);
        return {};
    }
    ToolRun run;
    char buffer[4096];
    for (ssize_t count; (count = read(pipeEnds[0], buffer, sizeof buffer)) != 0;) {
        if (count > 0) {
            run.output.append(buffer, count);
        } else if (errno != EINTR) {
            break;
        }
    }
    close(pipeEnds[0]);
    run.exitCode = testsupport::ExitCode(testsupport::AwaitEnd(pid));
    return run;
}

std::vector<std::string> Emulated(const std::string &program) {
    std::vector<std::string> words;
    std::istringstream emulator(TOOL_EMULATOR);
    for (std::string word; std::getline(emulator, word, '|');) {
        if (!word.empty()) {
            words.push_back(word);
        }
    }
    words.push_back(program);
    return words;
}

} // namespace tooltest
