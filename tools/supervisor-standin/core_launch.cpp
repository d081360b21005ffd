#include "core_launch.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

namespace {

// Output as written: no carriage return added before each line feed.
void MakeRaw(int terminal) {
    termios settings{};
    if (tcgetattr(terminal, &settings) == 0) {
        cfmakeraw(&settings);
        tcsetattr(terminal, TCSANOW, &settings);
    }
}

// In the child: what the stand-in blocks or ignores is the core's to have.
void RestoreSignals() {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    std::signal(SIGPIPE, SIG_DFL);
}

std::vector<char *> CoreCommand(const StandinOptions &options, const std::string &corePath,
                                const std::string &descriptor) {
    std::vector<char *> argv;
    for (const auto &word : options.emulator) {
        argv.push_back(const_cast<char *>(word.c_str()));
    }
    argv.push_back(const_cast<char *>(corePath.c_str()));
    argv.push_back(const_cast<char *>(descriptor.c_str()));
    for (const auto &argument : options.coreArguments) {
        argv.push_back(const_cast<char *>(argument.c_str()));
    }
    argv.push_back(nullptr);
    return argv;
}

} // namespace

LaunchedCore LaunchCore(const StandinOptions &options, const std::string &corePath, int coreEnd) {
    LaunchedCore core;
    int terminal = -1;
    int coreSide = -1;
    if (openpty(&terminal, &coreSide, nullptr, nullptr, nullptr) != 0) {
        return core;
    }
    MakeRaw(coreSide);
    fcntl(terminal, F_SETFD, FD_CLOEXEC);
    fcntl(terminal, F_SETFL, O_NONBLOCK);
    const std::string descriptor = std::to_string(coreEnd);
    std::vector<char *> argv = CoreCommand(options, corePath, descriptor);
    std::fflush(nullptr); // nothing buffered may be written twice after the fork
    core.pid = fork();
    if (core.pid == 0) {
        RestoreSignals();
        close(terminal);
        if (login_tty(coreSide) != 0) {
            _exit(127);
        }
        // An emulator is found on the search path; the core is named by its path.
        (options.emulator.empty() ? execv : execvp)(argv[0], argv.data());
        std::fprintf(stderr, "supervisor-standin: cannot start %s: %s\n", argv[0], std::strerror(errno));
        _exit(127);
    }
    const int forkError = errno;
    close(coreSide);
    if (core.pid < 0) {
        close(terminal);
        errno = forkError;
        return core;
    }
    core.console = terminal;
    return core;
}
