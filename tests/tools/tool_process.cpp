#include "tests/tools/tool_process.h"

#include <cerrno>
#include <sstream>
#include <csignal>

#include <fcntl.h>
#include <pty.h>
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

RunningTool::RunningTool(const std::vector<std::string> &command, const std::string &directory, bool onTerminal) {
    int readEnd = -1;
    int writeEnd = -1;
    if (onTerminal) {
        if (openpty(&readEnd, &writeEnd, nullptr, nullptr, nullptr) != 0) {
            return;
        }
        fcntl(readEnd, F_SETFD, FD_CLOEXEC);
        fcntl(writeEnd, F_SETFD, FD_CLOEXEC);
    } else {
        int pipeEnds[2];
        if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
            return;
        }
        readEnd = pipeEnds[0];
        writeEnd = pipeEnds[1];
    }
    testsupport::ChildOptions child;
    child.command = command;
    child.directory = directory;
    child.output = writeEnd;
    child.errors = writeEnd;
    pid = testsupport::StartChild(child);
    close(writeEnd);
    // A terminal whose other side has closed reads as an error: the end.
    reader = std::thread([this, readEnd] {
        char buffer[4096];
        for (ssize_t count; (count = read(readEnd, buffer, sizeof buffer)) != 0;) {
            if (count > 0) {
                std::lock_guard<std::mutex> lock(outputMutex);
                output.append(buffer, count);
            } else if (errno != EINTR) {
                break;
            }
        }
        close(readEnd);
    });
}

// A stand-in left running by a failed test is hung up first, so that it
// stops (or kills) its core instead of leaving it behind.
RunningTool::~RunningTool() {
    if (pid > 0 && !exitCode) {
        kill(pid, SIGHUP);
        if (!testsupport::WaitForEnd(pid, coretest::Scaled(40))) {
            kill(pid, SIGKILL);
            testsupport::AwaitEnd(pid);
        }
    }
    if (reader.joinable()) {
        reader.join();
    }
}

void RunningTool::Signal(int signal) const { kill(pid, signal); }

std::string RunningTool::Output() const {
    std::lock_guard<std::mutex> lock(outputMutex);
    return output;
}

bool RunningTool::WaitForOutput(const std::string &text, coretest::Seconds timeout) const {
    return testsupport::WaitUntil([&] { return Output().find(text) != std::string::npos; }, timeout);
}

std::optional<int> RunningTool::WaitForExit(coretest::Seconds timeout) {
    if (!exitCode && pid > 0) {
        if (const auto status = testsupport::WaitForEnd(pid, timeout)) {
            exitCode = testsupport::ExitCode(*status);
        }
    }
    return exitCode;
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
