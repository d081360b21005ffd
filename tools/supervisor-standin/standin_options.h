#pragma once

#include <cstdint>
#include <string>
#include <vector>

// After a hang-up of the stand-in's terminal, the core is killed when it has
// not stopped within this time (or the shorter time the options name).
constexpr double HANGUP_KILL_SECONDS = 30;

// Where the demo packet goes: the example echo responder (ID 0x00EC0000).
constexpr uint32_t DEMO_ADDRESS = 0x0EC00000u;

// One packet for a plugin: bits 20-31 of the address name the plugin. A
// packet for a library is addressed once the core has said which ID that
// library has; the demo packet goes only when a plugin takes its address.
struct OutgoingPacket {
    uint32_t address = 0;
    std::string library; // not empty: the address is that plugin's
    std::string payload;
    bool demo = false;
};

// What the stand-in for the supervising daemon is asked to do. Times are
// seconds from the start of the core; a negative time means "never".
struct StandinOptions {
    std::string corePath;
    std::vector<std::string> coreArguments; // after the descriptor number
    std::vector<std::string> emulator;      // words before CORE when it is started

    // Either asks for a temporary installation of the core.
    std::vector<std::string> pluginSources; // plugin files and directories
    bool monitor = false;                   // the bus monitor plugin, its summaries shown
    uint32_t excerptBytes = 32;             // of each event the monitor shows (its default)

    bool sendIdentity = true;
    double identityDelay = 0;
    std::string version = "1.0.0";

    std::vector<OutgoingPacket> packets; // the demo packet when none is given
    uint32_t packetType = 1;
    double sendDelay = 1; // from the identity, or from the start without one
    uint32_t repeat = 1;
    double interval = 1;

    std::string recordPath; // empty: packets from the core are only printed

    double stopAfter = -1; // -1: until SIGINT or SIGTERM
    double closeAfter = -1;
    double killAfter = -1; // from the stop asked for to SIGKILL; -1: never
    bool exitZero = false; // 0 whatever the core did, once it ran
    unsigned restarts = 0; // starts of the core again after it died by a signal
};

enum class ParseOutcome { Run, Help, Mistake };

// Parses argv; prints the usage for help (standard output) and for a
// mistake (standard error, after saying what is wrong).
ParseOutcome ParseStandinOptions(int argc, char **argv, StandinOptions &options);
