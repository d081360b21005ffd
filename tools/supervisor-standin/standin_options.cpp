#include "standin_options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace {

void PrintUsage(const char *program) {
    std::fprintf(stderr,
                 "Usage: %s [options] CORE [core arguments...]\n"
                 "Plays the supervising daemon: starts CORE with one end of a\n"
                 "sequenced-packet socket pair, sends its identity, prints every\n"
                 "packet from the core and sends the stop packet on Ctrl-C or SIGTERM.\n"
                 "  --seconds N      send the stop packet after N seconds (default when\n"
                 "                   standard input is not a terminal: 20)\n"
                 "  --no-identity    never send the identity packet\n"
                 "  --version TEXT   the version sent in the identity packet\n",
                 program);
}

} // namespace

bool ParseStandinOptions(int argc, char **argv, StandinOptions &options) {
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        const char *option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(option, "--seconds") == 0 && hasValue) {
            options.runSeconds = std::atoi(argv[++i]);
        } else if (std::strcmp(option, "--no-identity") == 0) {
            options.sendIdentity = false;
        } else if (std::strcmp(option, "--version") == 0 && hasValue) {
            options.version = argv[++i];
        } else {
            PrintUsage(argv[0]);
            return false;
        }
    }
    if (i >= argc) {
        PrintUsage(argv[0]);
        return false;
    }
    options.corePath = argv[i++];
    options.coreArguments.assign(argv + i, argv + argc);
    if (options.runSeconds < 0 && isatty(STDIN_FILENO) == 0) {
        options.runSeconds = 20;
    }
    return true;
}
