// dvrplugin-inspect: tells a plugin author what the core would make of a
// plugin library: its ID, module name, address, masks, flags and entry
// points, and whether the core would refuse it and why; for several
// libraries, also what the core would make of them together. A library's
// code runs only when the core would load it, and then only in a child
// process of its own (see InspectPlugin), so that any file may be named.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "include/dvrplugin.h"
#include "inspection_report.h"
#include "plugin/plugin_discovery.h"
#include "plugin_set.h"
#include "quarantine_state.h"

namespace {

constexpr int EXIT_LOADS = 0;
constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_MISTAKE = 2;
constexpr double DEFAULT_SECONDS = 30;

void PrintUsage(const char *program) {
    std::printf("Usage: %s [--timeout S] [--core-directory DIR] PLUGIN.so|DIRECTORY...\n"
                "Says what the core would make of each plugin library: its module name, its ID\n"
                "(as plugins.xml writes it, too) and the supervisor address that reaches it, its\n"
                "event masks with what each selects, its thread and delivery flags, the entry\n"
                "points it exports, and whether the core would refuse it and why. A directory\n"
                "stands for its .so files, in the core's loading order; of several libraries\n"
                "it also says which would be refused for an ID taken before them, and which\n"
                "would never get a packet.\n"
                "\n"
                "Any file may be named: only a regular file is opened (without waiting), its\n"
                "exports are read from the file, and its code runs only when the core would load\n"
                "it (for this machine, with a Load, changeable by nobody but root or you). It\n"
                "then runs in a child process of its own, as the user nobody when run as root,\n"
                "which calls Load, then Close and Unload (never Open), and is killed after S\n"
                "seconds (default %g).\n"
                "\n"
                "  --timeout S    how long a library's Load, Close and Unload may take together\n"
                "  --core-directory DIR\n"
                "                 also say where each library stands in the crash quarantine\n"
                "                 of the core whose working directory (with core.xml) is DIR;\n"
                "                 a quarantined library is refused without being loaded\n"
                "  -h, --help     print this text\n"
                "  --version      print the plugin interface's version\n"
                "\n"
                "The exit code is 0 when the core would load every library named, 1 when it would\n"
                "refuse one (or the library crashed or hung its inspection), 2 for a mistake in\n"
                "the arguments.\n",
                program, DEFAULT_SECONDS);
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

// What the core would make of the libraries loaded together.
bool PrintSet(std::vector<SetMember> members) {
    SortMembersInLoadingOrder(members);
    const SetFindings findings = CheckPluginSet(members);
    std::printf("Together, in the core's loading order\n");
    for (std::size_t i = 0; i < members.size(); ++i) {
        std::printf("  %-13s  %s", findings.loads[i] ? "loads" : "refused", members[i].path.c_str());
        if (findings.loads[i]) {
            std::printf(" (ID 0x%08X, address 0x%08X)", static_cast<unsigned>(members[i].id),
                        static_cast<unsigned>(SupervisorAddressOf(members[i].id)));
        }
        std::printf("\n");
    }
    for (const std::string &refusal : findings.refusals) {
        std::printf("  Refused        %s\n", refusal.c_str());
    }
    for (const std::string &warning : findings.warnings) {
        std::printf("  Warning        %s\n", warning.c_str());
    }
    return findings.refusals.empty();
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

bool ParseSeconds(const std::string &text, double &seconds) {
    char *end = nullptr;
    errno = 0;
    seconds = std::strtod(text.c_str(), &end);
    return end != text.c_str() && *end == '\0' && errno == 0 && seconds > 0;
}

} // namespace

int main(int argc, char **argv) {
    std::vector<std::string> arguments;
    double seconds = DEFAULT_SECONDS;
    std::string coreDirectory;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "-h" || argument == "--help") {
            PrintUsage(argv[0]);
            return EXIT_LOADS;
        }
        if (argument == "--version") {
            std::printf("%s\n", DVRPLUGIN_VERSION_STRING);
            return EXIT_LOADS;
        }
        if (argument == "--timeout") {
            if (i + 1 >= argc || !ParseSeconds(argv[i + 1], seconds)) {
                return Mistake(argv[0], "--timeout needs a number of seconds");
            }
            ++i;
            continue;
        }
        if (argument == "--core-directory") {
            if (i + 1 >= argc) {
                return Mistake(argv[0], "--core-directory needs a directory");
            }
            coreDirectory = argv[++i];
            continue;
        }
        if (argument.rfind("-", 0) == 0) {
            return Mistake(argv[0], "unknown option " + argument);
        }
        arguments.push_back(argument);
    }
    if (arguments.empty()) {
        return Mistake(argv[0], "name plugin libraries or directories");
    }
    int verdict = EXIT_LOADS;
    std::vector<SetMember> members;
    for (const std::string &library : LibrariesNamed(arguments)) {
        std::printf("Plugin %s\n", library.c_str());
        if (Quarantined(coreDirectory, library)) {
            verdict = EXIT_REFUSED;
            members.push_back({library, false, 0, false});
            continue;
        }
        std::fflush(stdout);
        const PluginFacts facts = InspectPlugin(library, seconds);
        const bool loads = PrintInspection(facts, stdout);
        verdict = loads ? verdict : EXIT_REFUSED;
        members.push_back({library, loads, facts.info.ID, facts.Exports(ENTRY_IOCTL)});
    }
    if (members.size() > 1 && !PrintSet(members)) {
        verdict = EXIT_REFUSED;
    }
    return verdict;
}
