#pragma once

#include <cstdio>
#include <string>

#include "run_summary.h"

// Carries the core's console, a pseudo-terminal of the stand-in's own, to
// the stand-in's standard output line by line, so that the core's lines
// appear also when that output is a pipe or a file. The core colours its
// lines, as on any terminal; the colours are kept only when the stand-in's
// own output is a terminal. Every line is shown to the run summary.
//
// Single-threaded; owns the terminal's descriptor and closes it.
class ConsoleRelay {
public:
    ConsoleRelay(int terminal, std::FILE *out, bool keepColours, RunSummary &summary);
    ~ConsoleRelay();
    ConsoleRelay(const ConsoleRelay &) = delete;
    ConsoleRelay &operator=(const ConsoleRelay &) = delete;

    // The descriptor to wait on; -1 once the core's side has closed.
    int Descriptor() const { return terminal; }
    // Relays what is there without waiting.
    void Relay();
    // Once the core has exited: relays what it wrote before, waiting up to
    // `lastMilliseconds` for each further piece, then any unfinished line.
    void Finish(int lastMilliseconds);

private:
    // False once the core's side is closed.
    bool ReadOnce();
    void WriteLines(bool all);
    void WriteLine(const std::string &line);
    void Close();

    int terminal;
    std::FILE *const out;
    const bool keepColours;
    RunSummary &summary;
    std::string pending;
};

// The line without its terminal escape sequences.
std::string WithoutEscapes(const std::string &line);
