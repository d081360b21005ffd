#pragma once

#include <cstddef>

// The crash report file in the core's working directory, beside core.xml:
// the newest report first, then the older ones, at most MAX_KEPT_REPORTS of
// them and MAX_REPORT_FILE_BYTES in all, replaced whole through a pending
// file so that a reader never sees half a file.
constexpr const char *CRASH_REPORT_FILE = "core-crash.txt";
constexpr std::size_t MAX_KEPT_REPORTS = 4;
constexpr std::size_t MAX_REPORT_FILE_BYTES = 32 * 1024;

// Writes `report` as the newest report of CRASH_REPORT_FILE in the directory
// `directory` (a descriptor), keeping what fits of the older reports, read
// into `scratch` (MAX_REPORT_FILE_BYTES). False when the file could not be
// replaced.
//
// Threads: the crash handler; async-signal-safe.
bool KeepCrashReport(int directory, const char *report, std::size_t length, char *scratch);

// How many bytes at the start of the old file's text `old` to keep behind a
// new report of `newLength` bytes: whole reports only, from the first one.
// Sets `from` to where the first whole report starts.
std::size_t KeptOldReports(const char *old, std::size_t oldLength, std::size_t newLength, std::size_t &from);
