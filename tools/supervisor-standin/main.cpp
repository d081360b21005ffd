// A stand-in for the supervising daemon, for the demo and for trying plugins
// by hand: it starts the core on a socket pair and talks to it.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core_restarts.h"
#include "plugin_selection.h"
#include "standin_options.h"
#include "standin_session.h"
#include "temporary_installation.h"

namespace {

// Where the core, which runs in the stand-in's working directory, writes its
// crash reports.
constexpr const char *CRASH_REPORT_PATH = "core-crash.txt";

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

// The core runs as `corePath`, through the emulator when one is named.
pid_t StartCore(const StandinOptions &options, const std::string &corePath, int coreEnd) {
    const pid_t child = fork();
    if (child != 0) {
        return child;
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const std::string descriptor = std::to_string(coreEnd);
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
    // An emulator is found on the search path; the core is named by its path.
    (options.emulator.empty() ? execv : execvp)(argv[0], argv.data());
    std::fprintf(stderr, "supervisor-standin: cannot start %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
}

// With --plugins or --monitor the core runs from a temporary installation
// of the plugins chosen; null otherwise, or when that fails (said on
// standard error, `failed` set).
std::unique_ptr<TemporaryInstallation> InstallationFor(const StandinOptions &options, bool &failed) {
    failed = false;
    if (options.pluginSources.empty() && !options.monitor) {
        return nullptr;
    }
    std::vector<PluginDirectory> directories;
    std::string error;
    std::unique_ptr<TemporaryInstallation> installation;
    if (PlanPluginDirectories(options, directories, error)) {
        installation = TemporaryInstallation::Create(options.corePath, directories, error);
    }
    if (!installation) {
        std::fprintf(stderr, "supervisor-standin: %s\n", error.c_str());
        failed = true;
        return nullptr;
    }
    std::printf("supervisor-standin: the core runs from %s with:\n", installation->Root().c_str());
    for (const PluginDirectory &directory : directories) {
        for (const std::string &file : directory.files) {
            std::printf("    %s/%s -> %s\n", directory.name.c_str(), std::filesystem::path(file).filename().c_str(),
                        file.c_str());
        }
    }
    return installation;
}

// One run of the core on a new link: its exit code, or -1 when it could
// not be started (said on standard error).
int RunCore(const StandinOptions &options, const std::string &corePath, const std::string &identityName, int signals,
            FILE *record, bool &stopAsked) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) {
        std::perror("supervisor-standin");
        return -1;
    }
    const int ownEnd = ends[0];
    const int coreEnd = ends[1];
    fcntl(ownEnd, F_SETFD, FD_CLOEXEC);
    std::fflush(stdout); // nothing buffered may be written twice after the fork
    const pid_t core = StartCore(options, corePath, coreEnd);
    close(coreEnd);
    if (core < 0) {
        std::perror("supervisor-standin: fork");
        close(ownEnd);
        return -1;
    }
    StandinSession session(options, identityName, ownEnd, signals, core, record);
    const int exitCode = session.Run();
    stopAsked = session.StopAsked();
    return exitCode;
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
    bool failed = false;
    const std::unique_ptr<TemporaryInstallation> installation = InstallationFor(options, failed);
    if (failed) {
        return 2;
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
    if (signals < 0) {
        std::perror("supervisor-standin");
        return 2;
    }
    const std::string corePath = installation ? installation->CorePath() : options.corePath;
    CoreRestarts restarts(options.restarts, CRASH_REPORT_PATH);
    int exitCode;
    bool stopAsked = false;
    do {
        exitCode = RunCore(options, corePath, IdentityName(argv[0]), signals, record.get(), stopAsked);
    } while (exitCode >= 0 && restarts.RunEnded(exitCode, stopAsked));
    restarts.PrintSummary();
    return exitCode < 0 ? 2 : exitCode;
}
