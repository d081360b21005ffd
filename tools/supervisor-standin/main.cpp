// A stand-in for the supervising daemon, for the demo and for trying plugins
// by hand: it starts the core on a socket pair and talks to it.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "standin_options.h"
#include "standin_session.h"

namespace {

struct FileCloser {
    void operator()(FILE *file) const { std::fclose(file); }
};
using RecordFile = std::unique_ptr<FILE, FileCloser>;

sigset_t HandledSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGCHLD);
    return signals;
}

pid_t StartCore(const StandinOptions &options, int coreEnd) {
    const pid_t child = fork();
    if (child != 0) {
        return child;
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const std::string descriptor = std::to_string(coreEnd);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(options.corePath.c_str()));
    argv.push_back(const_cast<char *>(descriptor.c_str()));
    for (const auto &argument : options.coreArguments) {
        argv.push_back(const_cast<char *>(argument.c_str()));
    }
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    std::fprintf(stderr, "supervisor-standin: cannot start %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
}

// The daemon names itself by its file name, without the directory.
std::string IdentityName(const char *programPath) {
    const char *slash = std::strrchr(programPath, '/');
    return slash != nullptr ? slash + 1 : programPath;
}

} // namespace

int main(int argc, char **argv) {
    StandinOptions options;
    switch (ParseStandinOptions(argc, argv, options)) {
    case ParseOutcome::Help:
        return 0;
    case ParseOutcome::Mistake:
        return 2;
    case ParseOutcome::Run:
        break;
    }
    RecordFile record;
    if (!options.recordPath.empty()) {
        record.reset(std::fopen(options.recordPath.c_str(), "ae"));
        if (!record) {
            std::fprintf(stderr, "supervisor-standin: cannot open %s: %s\n", options.recordPath.c_str(),
                         std::strerror(errno));
            return 2;
        }
    }
    const sigset_t handled = HandledSignals();
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    const int signals = signalfd(-1, &handled, SFD_CLOEXEC);
    int ends[2];
    if (signals < 0 || socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) {
        std::perror("supervisor-standin");
        return 2;
    }
    const int ownEnd = ends[0];
    const int coreEnd = ends[1];
    fcntl(ownEnd, F_SETFD, FD_CLOEXEC);
    std::fflush(stdout); // nothing buffered may be written twice after the fork
    const pid_t core = StartCore(options, coreEnd);
    close(coreEnd);
    if (core < 0) {
        std::perror("supervisor-standin: fork");
        return 2;
    }
    StandinSession session(options, IdentityName(argv[0]), ownEnd, signals, core, record.get());
    return session.Run();
}
