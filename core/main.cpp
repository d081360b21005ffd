// The core process: scans its command line, then builds, initialises and runs
// the one dvrcore until it stops.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include <malloc.h>

#include <boost/filesystem.hpp>
#include <wx/init.h>

#include "crash_handler.h"
#include "dvrcore.h"
#include "last_run.h"
#include "supervisor_descriptor.h"

namespace {

constexpr int EXIT_NO_CANONICAL_PATH = 1;
constexpr int EXIT_INITIALIZE_FAILED = 2;

bool IsOption(const char *argument) { return argument[0] == '-'; }
// "-h" and anything that begins with it; the exact word "--help" as well.
bool IsHelpOption(const char *argument) { return argument[1] == 'h' || std::strcmp(argument, "--help") == 0; }
bool IsVersionOption(const char *argument) { return std::strcmp(argument, "--version") == 0; }

void PrintHelp(const char *programName) {
    std::fprintf(stderr, "core version %s\n", CoreVersion());
    std::fprintf(stderr, "Usage: %s <pipe>\n", programName);
}

// After "failed to initialize core": the supervisor's descriptor is the
// usual cause, so say whether it is one.
void ExplainDescriptor(int descriptor) {
    if (descriptor == -1) {
        return;
    }
    const std::string problem = SupervisorDescriptorProblem(descriptor);
    if (!problem.empty()) {
        std::fprintf(stderr, "descriptor %d is not a connected sequenced-packet socket: %s\n", descriptor,
                     problem.c_str());
    }
}

// The canonical path of the running executable file, or empty.
std::string ExecutablePath() {
    boost::system::error_code error;
    const auto workingDirectory = boost::filesystem::current_path(error);
    if (error) {
        return {};
    }
    const auto path = boost::filesystem::canonical("/proc/self/exe", workingDirectory, error);
    return error ? std::string() : path.string();
}

} // namespace

int main(int argc, char **argv) {
    int descriptor = -1;
    for (int i = 1; i < argc; ++i) {
        if (!IsOption(argv[i])) {
            descriptor = std::atoi(argv[i]);
            break;
        }
        if (IsHelpOption(argv[i])) {
            PrintHelp(argv[0]);
            return EXIT_SUCCESS;
        }
        if (IsVersionOption(argv[i])) {
            std::printf("core version %s\n", CoreVersion());
            return EXIT_SUCCESS;
        }
    }

    // Raisers allocate event copies in their threads' arenas and the main
    // thread frees them. Chunks freed into fast bins never coalesce, so an
    // arena could not shrink after a backlog however much of it is free;
    // without fast bins the frees merge and the arena returns its top. Set
    // before any thread exists.
    mallopt(M_MXFAST, 0);
    wxInitialize();
    const std::string exePath = ExecutablePath();
    if (exePath.empty()) {
        std::fputs("failed to find canonical path\n", stderr);
        return EXIT_NO_CANONICAL_PATH;
    }
    // Before any thread or plugin: every later crash is reported.
    InstallCrashHandler(NewRunId());

    // Building the core already takes descriptors (the I/O service's), so it
    // happens inside the guard: no failure of the start-up aborts.
    try {
        auto core = std::make_unique<dvrcore>(exePath);
        if (!core->Initialize(descriptor)) {
            std::fputs("failed to initialize core\n", stderr);
            ExplainDescriptor(descriptor);
            return EXIT_INITIALIZE_FAILED;
        }
        core->Start();
    } catch (const std::exception &error) {
        // A system failure during the start-up (no thread, no descriptor, no
        // memory, a signal that cannot be registered): Start has closed and
        // unloaded what it had loaded.
        std::fprintf(stderr, "failed to start core: %s\n", error.what());
        return EXIT_INITIALIZE_FAILED;
    }
    wxUninitialize();
    return EXIT_SUCCESS;
}
