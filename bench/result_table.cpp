#include "bench/result_table.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>

namespace bench {

namespace {

std::mutex bookMutex;
std::map<std::string, double> book;

bool Find(const std::string &name, double &value) {
    std::lock_guard<std::mutex> lock(bookMutex);
    const auto found = book.find(name);
    if (found == book.end()) {
        return false;
    }
    value = found->second;
    return true;
}

} // namespace

void Record(const std::string &name, double value) {
    std::lock_guard<std::mutex> lock(bookMutex);
    book[name] = value;
}

double Percentile(std::vector<int64_t> values, double fraction) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return static_cast<double>(values[index]);
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int PrintTable(const std::vector<TableRow> &rows) {
    int missing = 0;
    std::printf("\n%-46s %14s %14s %8s %10s %5s\n", "figure", "core", "baseline", "ratio", "target", "met");
    for (const TableRow &row : rows) {
        double figure = 0;
        if (!Find(row.figure, figure)) {
            std::printf("%-46s %14s\n", row.label.c_str(), "not measured");
            ++missing;
            continue;
        }
        double baseline = 0;
        const bool hasBaseline = !row.baseline.empty() && Find(row.baseline, baseline) && baseline != 0;
        const double ratio = hasBaseline ? figure / baseline : 0;
        const double compared = row.targetOnRatio ? ratio : figure;
        const bool met = row.target == 0 || (row.atLeast ? compared >= row.target : compared <= row.target);
        const std::string label = row.label + " (" + row.unit + ")";
        char baselineText[32] = "-";
        char ratioText[32] = "-";
        if (hasBaseline) {
            std::snprintf(baselineText, sizeof baselineText, "%.4g", baseline);
            std::snprintf(ratioText, sizeof ratioText, "%.3f", ratio);
        }
        char targetText[32] = "-";
        if (row.target != 0) {
            std::snprintf(targetText, sizeof targetText, "%s%g%s", row.atLeast ? ">=" : "<=", row.target,
                          row.targetOnRatio ? "x" : "");
        }
        std::printf("%-46s %14.4g %14s %8s %10s %5s\n", label.c_str(), figure, baselineText, ratioText, targetText,
                    row.target == 0 ? "" : (met ? "yes" : "NO"));
    }
    return missing;
}

} // namespace bench
