#include "tests/support/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

void Redirect(int from, int to) {
    if (from >= 0 && from != to) {
        dup2(from, to);
    }
}

[[noreturn]] void BecomeProgram(const ChildOptions &options, const char *program, char *const *argv) {
    const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
    Redirect(options.input >= 0 ? options.input : nothing, STDIN_FILENO);
    Redirect(options.output, STDOUT_FILENO);
    Redirect(options.errors, STDERR_FILENO);
    for (const int descriptor : options.inherited) {
        fcntl(descriptor, F_SETFD, 0);
    }
    if (!options.directory.empty() && chdir(options.directory.c_str()) != 0) {
        _exit(CHILD_NO_DIRECTORY);
    }
    // A test thread may block signals; the program starts with none blocked.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options.beforeExec) {
        options.beforeExec();
    }
    execvp(program, argv);
    std::fprintf(stderr, "cannot start %s: %s\n", program, std::strerror(errno));
    _exit(CHILD_NOT_STARTED);
}

} // namespace

pid_t StartChild(const ChildOptions &options) {
    std::vector<std::string> command = options.command;
    std::vector<char *> argv;
    for (std::string &word : command) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    const std::string program = options.program.empty() ? command.at(0) : options.program;
    const pid_t pid = fork();
    if (pid == 0) {
        BecomeProgram(options, program.c_str(), argv.data());
    }
    return pid;
}

std::optional<int> WaitForEnd(pid_t pid, Seconds timeout) {
    int status = 0;
    if (WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeout)) {
        return status;
    }
    return std::nullopt;
}

int AwaitEnd(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

} // namespace testsupport
