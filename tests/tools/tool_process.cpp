#include "tests/tools/tool_process.h"

#include <cerrno>
#include <sstream>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tooltest {

namespace {

// Between fork and exec only system calls: the test process may have threads.
[[noreturn]] void BecomeTool(char *const *argv, const char *directory, int output) {
    dup2(output, STDOUT_FILENO);
    dup2(output, STDERR_FILENO);
    const int nothing = open("/dev/null", O_RDONLY);
    dup2(nothing, STDIN_FILENO);
    if (chdir(directory) != 0) {
        _exit(126);
    }
    execvp(argv[0], argv);
    _exit(127);
}

} // namespace

ToolRun RunTool(const std::vector<std::string> &command, const std::string &directory, coretest::Seconds timeout) {
    // timeout(1) kills a hung tool, so a fault shows as a failure, not a stall.
    std::vector<std::string> bounded{"timeout", "-s", "KILL", std::to_string(timeout.count())};
    bounded.insert(bounded.end(), command.begin(), command.end());
    std::vector<char *> argv;
    for (std::string &word : bounded) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
        return {};
    }
    const pid_t child = fork();
    if (child < 0) {
        close(pipeEnds[0]);
        close(pipeEnds[1]);
        return {};
    }
    if (child == 0) {
        BecomeTool(argv.data(), directory.c_str(), pipeEnds[1]);
    }
    close(pipeEnds[1]);
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
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
