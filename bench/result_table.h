#pragma once

// The figures the benchmarks measured, by name, and the closing table that
// sets each beside its baseline.

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Google Benchmark runs a function several times while it settles on an
// iteration count; the last run is the one it reports, and its figure wins.
void Record(const std::string &name, double value);

// The value below which the given fraction of the values lie.
double Percentile(std::vector<int64_t> values, double fraction);
double Median(std::vector<double> values);

struct TableRow {
    std::string label;
    std::string figure;   // name of the core's figure
    std::string baseline; // name of the baseline's figure, or empty
    std::string unit;
    // 0 for none; applies to the ratio figure/baseline or to the figure
    // itself; `atLeast` says which side passes.
    double target;
    bool targetOnRatio;
    bool atLeast;
};

// Prints figure, baseline, ratio and target for every row; answers how many
// figures were not measured.
int PrintTable(const std::vector<TableRow> &rows);

} // namespace bench
