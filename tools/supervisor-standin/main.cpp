// A stand-in for the supervising daemon, for the demo and for trying plugins
// by hand: it starts the core on a socket pair and talks to it.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core_launch.h"
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
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGCHLD);
    return signals;
}

// The core runs in the stand-in's working directory and keeps its files
// there; on a device it runs in another, which the stand-in cannot know.
void SayWorkingDirectory() {
    std::error_code failure;
    const std::filesystem::path directory = std::filesystem::current_path(failure);
    std::printf("supervisor-standin: the core's working directory is %s (on a device: /var/lib/dvrcore)\n",
                failure ? "unknown" : directory.c_str());
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

// How one run of the core ended: the stand-in's exit code for it, the
// core's own (128 + the signal that killed it), and whether the stand-in
// asked it to stop.
struct RunOutcome {
    int exitCode;
    int coreExitCode;
    bool stopAsked;
};

// One run of the core on a new link, or nothing when it could not be started
// (said on standard error).
std::optional<RunOutcome> RunCore(const StandinOptions &options, const std::string &corePath,
                                  const std::string &identityName, int signals, FILE *record) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, ends) != 0) {
        std::perror("supervisor-standin");
        return std::nullopt;
    }
    const int ownEnd = ends[0];
    const int coreEnd = ends[1];
    fcntl(ownEnd, F_SETFD, FD_CLOEXEC);
    std::fflush(stdout); // nothing buffered may be written twice after the fork
    const LaunchedCore core = LaunchCore(options, corePath, coreEnd);
    close(coreEnd);
    if (core.pid < 0) {
        std::perror("supervisor-standin: starting the core");
        close(ownEnd);
        return std::nullopt;
    }
    StandinSession session(options, identityName, ownEnd, signals, core, record);
    const int exitCode = session.Run();
    return RunOutcome{exitCode, session.CoreExitCode(), session.StopAsked()};
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
    SayWorkingDirectory();
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
    // A reader of its output that goes away must not end the stand-in before
    // the core: the core would be left behind.
    std::signal(SIGPIPE, SIG_IGN);
    const int signals = signalfd(-1, &handled, SFD_CLOEXEC);
    if (signals < 0) {
        std::perror("supervisor-standin");
        return 2;
    }
    const std::string corePath = installation ? installation->CorePath() : options.corePath;
    CoreRestarts restarts(options.restarts, CRASH_REPORT_PATH);
    std::optional<RunOutcome> run;
    while ((run = RunCore(options, corePath, IdentityName(argv[0]), signals, record.get())) &&
           restarts.RunEnded(run->coreExitCode, run->stopAsked)) {
    }
    restarts.PrintSummary();
    return run ? run->exitCode : 2;
}
