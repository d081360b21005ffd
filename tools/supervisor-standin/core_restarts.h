#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <utility>

// The stand-in as a restarting supervisor (--restart N): after each run of
// the core it says how the core ended, with the signal and the plugin its
// crash report blames, decides whether to start it again, and at the end
// sums up the crashes. The reports are read from the file the core writes in
// its working directory, the stand-in's own.
//
// Threads: the stand-in's one thread.
class CoreRestarts {
public:
    // `restarts`: how many times at most the core is started again; the
    // report file is read as it is before the first run.
    CoreRestarts(unsigned restarts, std::string reportPath);

    // A run ended with `exitCode` (128 + the signal when killed); the stand-in
    // itself asked the core to stop when `stopAsked`. Says how it ended, and
    // whether the core is to be started again.
    bool RunEnded(int exitCode, bool stopAsked);

    // A line summing up the crashes of all runs; nothing when none crashed.
    void PrintSummary() const;

private:
    // The signal and the plugin of the newest report, if it is new since
    // the last look.
    bool NewCrash(std::string &signal, std::string &plugin);

    const unsigned restarts;
    const std::string reportPath;
    std::string lastRunSeen;
    unsigned runs = 0;
    unsigned restarted = 0;
    std::map<std::pair<std::string, std::string>, unsigned> crashes; // (signal, where) -> count
};
