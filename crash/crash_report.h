#pragma once

#include <cstddef>
#include <cstdint>

#include "call_watch.h"
#include "module_table.h"
#include "stack_walk.h"
#include "thread_role.h"

class ReportText;
class SafeMemory;

// What the crash handler gathered about one fatal signal.
struct CrashFacts {
    static constexpr std::size_t MAX_FRAMES = 40;

    int signal = 0;
    int code = 0;
    uintptr_t faultAddress = 0;
    long process = 0;
    long thread = 0; // the kernel's task ID
    int64_t wallSeconds = 0;
    const char *runId = "";
    ThreadRole role;
    // The call the thread's call slot shows (main and asio threads).
    bool inCall = false;
    WatchedCallReport call{};
    StackFrame frames[MAX_FRAMES];
    std::size_t frameCount = 0;
};

// The plugin blamed for a crash: null for the core.
struct Blame {
    const ModuleTable::Plugin *plugin = nullptr;
    std::size_t frame = 0; // the frame in its library
};

// The plugin whose library holds the faulting instruction; else the first
// frame in a plugin's library that the unwinding tables (or the link
// register) found; else a frame found by scanning the stack, but only in the
// library of the plugin the thread works for, since a scan also finds stale
// addresses; else the core.
Blame BlamePlugin(const CrashFacts &facts, const ModuleTable &modules);

// The report as the file keeps it: "key: value" lines and the backtrace,
// from REPORT_FIRST_LINE to REPORT_LAST_LINE.
void ComposeReport(const CrashFacts &facts, const Blame &blame, const ModuleTable &modules, SafeMemory &memory,
                   ReportText &text);

// The few lines for the system log, one at a time from index 0 (the report
// file's path is the last); false past the last.
bool ComposeLogLine(std::size_t index, const CrashFacts &facts, const Blame &blame, const ModuleTable &modules,
                    SafeMemory &memory, const char *reportPath, ReportText &line);

constexpr const char *REPORT_FIRST_LINE = "core crash report";
constexpr const char *REPORT_LAST_LINE = "end of report";
