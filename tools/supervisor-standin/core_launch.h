#pragma once

#include <string>

#include <sys/types.h>

#include "standin_options.h"

// The core as the stand-in starts it: in a session of its own whose
// controlling terminal is a pseudo-terminal of the stand-in's, as its
// standard input, output and error. The core then prints its console as on
// any terminal, Ctrl-C at the stand-in's terminal reaches the stand-in
// alone, and should the stand-in vanish the core is hung up, which stops it.
struct LaunchedCore {
    pid_t pid = -1;   // also its process group
    int console = -1; // the terminal's side that the stand-in reads
};

// Starts `corePath` (through the emulator the options name) with the
// descriptor `coreEnd` as its first argument. On failure pid is -1 and
// errno says why; a core that cannot be executed ends its child with 127
// after a line on the terminal.
LaunchedCore LaunchCore(const StandinOptions &options, const std::string &corePath, int coreEnd);
