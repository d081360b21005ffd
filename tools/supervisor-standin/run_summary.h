#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What one run of the core came to, from the core's console lines and its
// end: the plugins it refused, the buffers plugins never gave back, and how
// it ended. Gives the stand-in's closing line and its exit code.
//
// Single-threaded.
class RunSummary {
public:
    // The exit code when the core stopped cleanly but refused a plugin.
    static constexpr int EXIT_PLUGIN_REFUSED = 3;

    // One console line of the core's, colours removed: "HH:MM:SS name text".
    void SeeConsoleLine(const std::string &line);

    // "the core exited with code 0; 1 plugin refused: a.so (missing symbol);
    // 3 buffers leaked by 1 plugin", from the core's wait status.
    std::string Line(int waitStatus) const;
    // The core's exit code (128 + the signal that killed it), or
    // EXIT_PLUGIN_REFUSED for a clean stop that refused a plugin.
    int ExitCode(int waitStatus) const;

    const std::vector<std::string> &Refused() const { return refused; }

private:
    void Refuse(const std::string &library, const std::string &why);

    std::vector<std::string> refused; // "a.so (missing symbol)"
    uint64_t leakedBuffers = 0;
    unsigned leakingPlugins = 0;
};

// "SIGABRT" for SIGABRT, or "signal N".
std::string SignalName(int signal);
