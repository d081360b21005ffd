#pragma once

#include <cstdint>

#include "source_names.h"
#include "system_log_copy.h"

// The console and system-log sink of every log line: a level-100 line goes
// to the system log; every line, when standard output is a terminal, to the
// console with the time and the source's short name, coloured by level. On
// request, level-0 lines are copied to the system log as well.
//
// Threads: any thread that logs. Locks: none of its own (the names and the
// system-log copy keep theirs). Allocates nothing.
class ConsoleSink {
public:
    explicit ConsoleSink(const SourceNames &names) : names(names) {}
    ConsoleSink(const ConsoleSink &) = delete;
    ConsoleSink &operator=(const ConsoleSink &) = delete;

    void Write(uint32_t source, uint32_t level, const char *text) const;
    // Before any thread logs.
    void SetColour(bool colour) { colourConsole = colour; }
    // Before any thread logs: whether level-0 lines go to the system log too.
    void CopyDiagnosticsToSystemLog(bool copy) { diagnosticsCopy.Enable(copy); }

private:
    // Constant after start.
    const SourceNames &names;
    bool colourConsole = true;
    // Thread-safe; its rate limit changes as lines pass.
    mutable SystemLogCopy diagnosticsCopy;
};
