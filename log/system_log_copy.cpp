#include "system_log_copy.h"

#include <cinttypes>
#include <ctime>

#include <syslog.h>

namespace {

int64_t CoarseMonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void TellLeftOut(uint64_t count) {
    if (count != 0) {
        syslog(LOG_NOTICE, "%" PRIu64 " diagnostics not copied to the system log (rate limit)", count);
    }
}

} // namespace

SystemLogCopy::~SystemLogCopy() {
    MutexLock lock(mutex);
    TellLeftOut(limit.TakeLeftOut());
}

void SystemLogCopy::Copy(const char *text) {
    DiagnosticRateLimit::Verdict verdict{};
    {
        MutexLock lock(mutex);
        verdict = limit.Admit(text, CoarseMonotonicNs());
    }
    if (verdict.copy) {
        TellLeftOut(verdict.leftOut);
        syslog(LOG_NOTICE, "%s", text);
    }
}
