#pragma once

#include <string>
#include <vector>

// What the stand-in for the supervising daemon is asked to do.
struct StandinOptions {
    std::string corePath;
    std::vector<std::string> coreArguments; // after the descriptor number
    int runSeconds = -1;                    // -1: until SIGINT or SIGTERM
    bool sendIdentity = true;
    std::string version = "1.0.0";
};

// Parses argv; prints usage and returns false on a mistake.
bool ParseStandinOptions(int argc, char **argv, StandinOptions &options);
