#pragma once

#include <functional>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/result_table.h"

namespace bench {

// Sizes of one run: the full run for the table, or a quick smoke run that
// only shows that every path works.
struct RunSize {
    bool quick;
    double minSeconds;   // per throughput benchmark
    unsigned batchScale; // divides every batch
    unsigned startupSamples;
    double idleSeconds;
    unsigned fixedEvents; // if not 0: each event benchmark raises this many, once
};

// Registers a benchmark that times itself (manual time): `iterations` fixed,
// or 0 to run for the run size's minimum time.
void Register(const std::string &name, const RunSize &size, int iterations,
              std::function<void(benchmark::State &)> body);
// Every figure's benchmark; each measures the core and its baseline.
void RegisterBenchmarks(const RunSize &size);
// Stops the core that the event benchmarks share.
void StopSharedCore();
// Where the latency benchmark writes every sample's stamps (nowhere if empty).
void SetLatencyDump(const std::string &path);

// Events per batch for a data size: smaller batches for larger data.
unsigned EventBatch(unsigned dataLength, const RunSize &size);
constexpr unsigned PACKET_LENGTH = 1024;
constexpr unsigned LATENCY_SAMPLES = 2000; // each side, in LATENCY_ROUNDS rounds
constexpr unsigned LATENCY_ROUNDS = 10;
constexpr unsigned LATENCY_PAUSE_NS = 200000;

// The names under which a benchmark records the core's figure and its baseline's.
struct Pair {
    std::string core;
    std::string baseline;
};

std::vector<TableRow> TableRows();

} // namespace bench
