#pragma once

#include <string>

// The fatal-signal handler. On SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT it
// writes a crash report (crash_report.h) to the file CRASH_REPORT_FILE in the
// working directory (kept_reports.h), a few lines to the system log and one
// to standard error; then it restores the signal's default action and raises
// it again, so that the process dies by the same signal as without it. Only
// async-signal-safe calls run in it, on the thread's alternate signal stack.
// The signals are blocked while it runs, so a fault inside it ends the
// process at once, but for one in the walk up a damaged stack, which cuts
// the backtrace short; a crash on a second thread meanwhile waits for the
// first report, and a report that hangs is cut short by SIGALRM's default
// action.
//
// It stays out of the sanitizers' way: a build with AddressSanitizer or
// ThreadSanitizer leaves SIGSEGV, SIGBUS and SIGFPE to the sanitizer, which
// reports them itself; and a signal that already has a handler (a
// sanitizer's, asked for by its options) keeps it.
//
// Threads: InstallCrashHandler once, on the main thread, before the core
// starts other threads; it gives that thread an alternate signal stack and
// its role.
void InstallCrashHandler(const std::string &runId);

// This run's ID, which the reports carry: empty before the handler is
// installed.
const char *CrashRunId();
