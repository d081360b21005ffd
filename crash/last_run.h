#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "quarantine_element.h"

// How the previous run of the core ended, read at start from what it left
// in the working directory: the run mark RUN_MARK_FILE, which holds the ID
// of a run that has not stopped cleanly, and the newest crash report.
//
// Threads: the main thread, at start and at the stop.

constexpr const char *RUN_MARK_FILE = "core.running";

// The newest report of the crash report file, as the handler wrote it.
struct ReportedCrash {
    std::string runId;
    int64_t wallSeconds = 0;
    std::string signal; // "SIGSEGV"
    std::string cause;  // the whole "signal:" line: name, code, address
    std::string plugin; // the library's file name; empty for the core
    std::string library;
    std::optional<LibraryFile> file;
    std::string thread; // without the task numbers
    std::string call;
    std::vector<std::string> frames;
};

// The first whole report of the file's text; nothing when there is none.
std::optional<ReportedCrash> ParseNewestReport(const std::string &text);

enum class RunEnding {
    Clean,   // stopped cleanly, or no earlier run
    Crashed, // the newest crash report is its own
    Unknown, // killed, or its report could not be written
};

struct LastRun {
    RunEnding ending = RunEnding::Clean;
    std::optional<ReportedCrash> crash; // when it crashed
};

// Reads how the previous run ended, then marks `runId` as the run going on.
LastRun BeginRun(const std::string &runId);
// The run stops cleanly.
void EndRun();

// A new run's ID: the wall-clock time and the process ID.
std::string NewRunId();
