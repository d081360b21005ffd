#include "last_run.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sstream>

#include <unistd.h>

#include "crash_report.h"
#include "kept_reports.h"
#include "regular_file.h"
#include "safe_save.h"

namespace {

// More than the handler ever writes: a file grown by hand is not read at all.
constexpr std::size_t MAX_READ_BYTES = 2 * MAX_REPORT_FILE_BYTES;
constexpr std::size_t MAX_RUN_ID_BYTES = 256;

bool StartsWith(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::optional<LibraryFile> ParseFileLine(const std::string &value) {
    unsigned long long device = 0, inode = 0, size = 0, nanoseconds = 0;
    long long seconds = 0;
    if (std::sscanf(value.c_str(), "device %llu inode %llu size %llu modified %lld.%llu", &device, &inode, &size,
                    &seconds, &nanoseconds) != 5) {
        return std::nullopt;
    }
    LibraryFile file;
    file.device = device;
    file.inode = inode;
    file.size = size;
    file.modifiedSeconds = seconds;
    file.modifiedNanoseconds = static_cast<int64_t>(nanoseconds);
    return file;
}

void ReadField(ReportedCrash &crash, const std::string &key, const std::string &value) {
    if (key == "run") {
        crash.runId = value;
    } else if (key == "time") {
        crash.wallSeconds = std::strtoll(value.c_str(), nullptr, 10);
    } else if (key == "signal") {
        crash.cause = value;
        crash.signal = value.substr(0, value.find(' '));
    } else if (key == "plugin") {
        crash.plugin = value == "the core" ? "" : value;
    } else if (key == "library") {
        crash.library = value;
    } else if (key == "file") {
        crash.file = ParseFileLine(value);
    } else if (key == "thread") {
        crash.thread = value.substr(0, value.find(", task "));
    } else if (key == "call") {
        crash.call = value;
    }
}

} // namespace

std::optional<ReportedCrash> ParseNewestReport(const std::string &text) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line) && line != REPORT_FIRST_LINE) {
    }
    if (!lines) {
        return std::nullopt;
    }
    ReportedCrash crash;
    bool inBacktrace = false;
    while (std::getline(lines, line)) {
        if (line == REPORT_LAST_LINE) {
            return crash;
        }
        if (inBacktrace) {
            crash.frames.push_back(line);
        } else if (StartsWith(line, "backtrace")) {
            inBacktrace = true;
        } else if (const std::size_t colon = line.find(": "); colon != std::string::npos) {
            ReadField(crash, line.substr(0, colon), line.substr(colon + 2));
        }
    }
    return std::nullopt; // cut short
}

LastRun BeginRun(const std::string &runId) {
    LastRun last;
    if (const std::optional<std::string> mark = ReadRegularFile(RUN_MARK_FILE, MAX_RUN_ID_BYTES)) {
        last.ending = RunEnding::Unknown;
        const std::string previousRun = mark->substr(0, mark->find('\n'));
        const std::optional<std::string> reports = ReadRegularFile(CRASH_REPORT_FILE, MAX_READ_BYTES);
        std::optional<ReportedCrash> crash = reports ? ParseNewestReport(*reports) : std::nullopt;
        if (crash && !previousRun.empty() && crash->runId == previousRun) {
            last.ending = RunEnding::Crashed;
            last.crash = std::move(crash);
        }
    }
    SaveByRename(RUN_MARK_FILE, runId + "\n");
    return last;
}

void EndRun() { unlink(RUN_MARK_FILE); }

std::string NewRunId() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char text[48];
    std::snprintf(text, sizeof text, "%lld.%09ld-%ld", static_cast<long long>(now.tv_sec), now.tv_nsec,
                  static_cast<long>(getpid()));
    return text;
}
