#include "core_restarts.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "run_summary.h"

namespace {

constexpr const char *FIRST_LINE = "core crash report";
constexpr const char *LAST_LINE = "end of report";

// The newest report's "run", "signal" and "plugin" values.
struct NewestReport {
    std::string run;
    std::string signal;
    std::string plugin;
};

bool ReadNewestReport(const std::string &path, NewestReport &report) {
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line) && line != FIRST_LINE) {
    }
    while (std::getline(file, line) && line != LAST_LINE) {
        const std::size_t colon = line.find(": ");
        const std::string key = line.substr(0, colon);
        const std::string value = colon == std::string::npos ? "" : line.substr(colon + 2);
        if (key == "run") {
            report.run = value;
        } else if (key == "signal") {
            report.signal = value.substr(0, value.find(' '));
        } else if (key == "plugin") {
            report.plugin = value;
        }
    }
    return line == LAST_LINE;
}

std::string Where(const std::string &plugin) { return plugin == "the core" ? "in the core" : "in plugin " + plugin; }

} // namespace

CoreRestarts::CoreRestarts(unsigned restarts, std::string reportPath)
    : restarts(restarts), reportPath(std::move(reportPath)) {
    NewestReport report;
    if (ReadNewestReport(this->reportPath, report)) {
        lastRunSeen = report.run;
    }
}

bool CoreRestarts::NewCrash(std::string &signal, std::string &plugin) {
    NewestReport report;
    if (!ReadNewestReport(reportPath, report) || report.run == lastRunSeen) {
        return false;
    }
    lastRunSeen = report.run;
    signal = report.signal;
    plugin = report.plugin;
    return true;
}

bool CoreRestarts::RunEnded(int exitCode, bool stopAsked) {
    ++runs;
    if (exitCode <= 128) {
        return false;
    }
    std::string signal = SignalName(exitCode - 128);
    std::string plugin;
    std::string where = "without a crash report";
    if (NewCrash(signal, plugin)) {
        where = Where(plugin);
        std::printf("supervisor-standin: the core died by %s %s (report in %s)\n", signal.c_str(), where.c_str(),
                    reportPath.c_str());
    } else {
        std::printf("supervisor-standin: the core died by %s %s\n", signal.c_str(), where.c_str());
    }
    ++crashes[{signal, where}];
    const bool again = !stopAsked && restarted < restarts;
    if (again) {
        ++restarted;
        std::printf("supervisor-standin: starting the core again (restart %u of %u)\n", restarted, restarts);
    }
    std::fflush(stdout);
    return again;
}

void CoreRestarts::PrintSummary() const {
    if (crashes.empty() || restarts == 0) {
        return;
    }
    unsigned total = 0;
    std::ostringstream causes;
    for (const auto &[cause, count] : crashes) {
        total += count;
        causes << (causes.tellp() > 0 ? "; " : "") << cause.first << " " << cause.second << " " << count
               << (count == 1 ? " time" : " times");
    }
    std::printf("supervisor-standin: the core crashed %u %s in %u runs: %s\n", total, total == 1 ? "time" : "times",
                runs, causes.str().c_str());
    std::fflush(stdout);
}
