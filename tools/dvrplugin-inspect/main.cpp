// dvrplugin-inspect: tells a plugin author what the core would make of a
// plugin library: its ID, module name, masks, flags and entry points, and
// whether the core would refuse it and why. Each library is inspected in a
// process of its own, so that one plugin's state, or its crash, cannot
// colour the next one's report.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "include/dvrplugin.h"
#include "inspection_report.h"
#include "plugin/plugin_discovery.h"
#include "quarantine_state.h"

namespace {

constexpr int EXIT_LOADS = 0;
constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_MISTAKE = 2;

void PrintUsage(const char *program) {
    std::printf("Usage: %s [--core-directory DIR] PLUGIN.so|DIRECTORY...\n"
                "Loads each plugin library as the core would, on its own, calls Load, Close and\n"
                "Unload (never Open), and prints its module name, its ID (as plugins.xml writes\n"
                "it, too), its event masks with what each selects, its thread and delivery\n"
                "flags, the entry points it exports, and whether the core would refuse it and\n"
                "why. A directory stands for its .so files, in the core's loading order.\n"
                "\n"
                "  --core-directory DIR\n"
                "                 also say where each library stands in the crash quarantine\n"
                "                 of the core whose working directory (with core.xml) is DIR;\n"
                "                 a quarantined library is refused without being loaded\n"
                "  -h, --help     print this text\n"
                "  --version      print the plugin interface's version\n"
                "\n"
                "The exit code is 0 when the core would load every library, 1 when it would\n"
                "refuse one (or the library crashed the inspection), 2 for a mistake in the\n"
                "arguments.\n",
                program);
}

int Mistake(const char *program, const std::string &what) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, what.c_str(), program);
    return EXIT_MISTAKE;
}

bool IsDirectory(const std::string &path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

std::vector<std::string> LibrariesNamed(const std::vector<std::string> &arguments) {
    std::vector<std::string> libraries;
    for (const std::string &argument : arguments) {
        if (!IsDirectory(argument)) {
            // A name without a directory would send the loader searching its
            // library path; the core always names the file.
            libraries.push_back(argument.find('/') == std::string::npos ? "./" + argument : argument);
            continue;
        }
        std::vector<std::string> found = FindPluginLibraries(argument);
        SortInLoadingOrder(found);
        if (found.empty()) {
            std::printf("%s: no plugin libraries\n", argument.c_str());
        }
        libraries.insert(libraries.end(), found.begin(), found.end());
    }
    return libraries;
}

// A quarantined library is refused as the core refuses it: unopened.
bool Quarantined(const std::string &coreDirectory, const std::string &path) {
    if (coreDirectory.empty()) {
        return false;
    }
    const QuarantineState state = ReadQuarantineState(coreDirectory, path);
    std::printf("  Quarantine     %s\n", state.description.c_str());
    if (state.refusal.empty()) {
        return false;
    }
    std::printf("  Verdict        the core refuses it:\n                 - %s\n", state.refusal.c_str());
    return true;
}

// The child inspects and reports; its exit code is the verdict.
int InspectOnItsOwn(const std::string &path, const std::string &coreDirectory) {
    std::printf("Plugin %s\n", path.c_str());
    if (Quarantined(coreDirectory, path)) {
        return EXIT_REFUSED;
    }
    std::fflush(stdout); // nothing buffered may be written twice after the fork
    const pid_t child = fork();
    if (child < 0) {
        std::perror("dvrplugin-inspect: fork");
        return EXIT_MISTAKE;
    }
    if (child == 0) {
        const bool loads = PrintInspection(InspectPlugin(path), stdout);
        std::fflush(stdout);
        // Skips the exit handlers: what the plugin left behind is not ours to tidy.
        _exit(loads ? EXIT_LOADS : EXIT_REFUSED);
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status)) {
        std::printf("  Verdict        the core would crash: the library ended its inspection with signal %d (%s)\n",
                    WTERMSIG(status), strsignal(WTERMSIG(status)));
        return EXIT_REFUSED;
    }
    return WEXITSTATUS(status) == EXIT_LOADS ? EXIT_LOADS : EXIT_REFUSED;
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    std::string coreDirectory;
    const auto option = std::find(arguments.begin(), arguments.end(), "--core-directory");
    if (option != arguments.end()) {
        if (option + 1 == arguments.end()) {
            return Mistake(argv[0], "--core-directory needs a directory");
        }
        coreDirectory = *(option + 1);
        arguments.erase(option, option + 2);
    }
    for (const std::string &argument : arguments) {
        if (argument == "-h" || argument == "--help") {
            PrintUsage(argv[0]);
            return EXIT_LOADS;
        }
        if (argument == "--version") {
            std::printf("%s\n", DVRPLUGIN_VERSION_STRING);
            return EXIT_LOADS;
        }
        if (argument.rfind("-", 0) == 0) {
            return Mistake(argv[0], "unknown option " + argument);
        }
    }
    if (arguments.empty()) {
        return Mistake(argv[0], "name plugin libraries or directories");
    }
    int verdict = EXIT_LOADS;
    for (const std::string &library : LibrariesNamed(arguments)) {
        const int result = InspectOnItsOwn(library, coreDirectory);
        verdict = result > verdict ? result : verdict;
    }
    return verdict;
}
