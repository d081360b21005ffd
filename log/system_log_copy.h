#pragma once

#include <cstdint>

#include "annotated_mutex.h"
#include "diagnostic_rate_limit.h"

// Copies the core's console-only diagnostics to the system log, when the
// integrator asks for it: on a device nobody watches the console. Each line
// goes with priority LOG_NOTICE and its text alone, as far as the rate limit
// lets it; how many lines it left out is told before the next line copied,
// and at the end.
//
// Threads: any thread that logs. Locks: `mutex` guards the rate limit only;
// the system log is written without it.
class SystemLogCopy {
public:
    SystemLogCopy() = default;
    // Tells the lines left out since the last one copied.
    ~SystemLogCopy();
    SystemLogCopy(const SystemLogCopy &) = delete;
    SystemLogCopy &operator=(const SystemLogCopy &) = delete;

    // Before any thread logs.
    void Enable(bool enable) { enabled = enable; }
    bool Enabled() const { return enabled; }

    void Copy(const char *text) EXCLUDES(mutex);

private:
    // Constant once threads log.
    bool enabled = false;

    Mutex mutex;
    DiagnosticRateLimit limit GUARDED_BY(mutex);
};
