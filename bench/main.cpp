// The benchmark program: every figure of the core beside its baseline from
// the same run. "--quick" makes a smoke run (a few iterations, short idle);
// "--min-seconds=S" sets how long each throughput benchmark runs;
// "--guest-plugin=PATH" and "--guest-file=PATH" add a plugin, and a file in the working
// directory, to every core the benchmarks start (the MQTT bridge and its settings, say);
// "--events=N" runs each event benchmark once with N events (for counting
// instructions); "--latency-dump=PATH" writes every latency sample's stamps
// there (scripts/latency-trace.sh sets them beside a scheduler trace); other arguments go to Google Benchmark (for
// example
// --benchmark_filter).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/benchmarks.h"
#include "bench/core_process.h"

namespace bench {

void Register(const std::string &name, const RunSize &size, int iterations,
              std::function<void(benchmark::State &)> body) {
    auto *registered = benchmark::RegisterBenchmark(name.c_str(), std::move(body));
    registered->UseManualTime()->Unit(benchmark::kMillisecond);
    if (size.quick) {
        registered->Iterations(iterations != 0 ? 1 : 2);
    } else if (iterations != 0) {
        registered->Iterations(iterations);
    } else {
        registered->MinTime(size.minSeconds);
    }
}

std::vector<TableRow> TableRows() {
    return {
        {"events/s, 1 raiser -> 1 Write, 64 B", "events_1x1_64", "bare_1x1_64", "1/s", 0.8, true, true},
        {"events/s, 1 raiser -> 1 Write, 4 KiB", "events_1x1_4096", "bare_1x1_4096", "1/s", 0.5, true, true},
        {"events/s, 1 raiser -> 1 Write, 64 KiB", "events_1x1_65536", "bare_1x1_65536", "1/s", 0.5, true, true},
        {"events/s, 4 raisers -> 1 Write, 64 B", "events_4x1_64", "bare_4x1_64", "1/s", 0.6, true, true},
        {"events/s, 4 raisers -> 3 Writes (1 keeps), 64 B", "events_4x3_64", "bare_4x3_64", "1/s", 0.6, true, true},
        {"latency, raise returned -> Write, median", "latency_return_p50", "bare_latency_return_p50", "us", 0, true,
         false},
        {"latency, raise returned -> Write, 99th pct", "latency_return_p99", "bare_latency_return_p99", "us", 1.5, true,
         false},
        {"latency, raise called -> Write, median", "latency_call_p50", "bare_latency_call_p50", "us", 0, true, false},
        {"latency, raise called -> Write, 99th pct", "latency_call_p99", "bare_latency_call_p99", "us", 1.5, true,
         false},
        {"supervisor packets/s, plugin -> socket, 1 KiB", "packets_out", "raw_packets_out", "1/s", 0.7, true, true},
        {"supervisor packets/s, socket -> IOCTL, 1 KiB", "packets_in", "raw_packets_in", "1/s", 0.8, true, true},
        {"jobs/s, start event -> Read on a new thread", "jobs", "detached_threads", "1/s", 0, true, true},
        {"start-up with 50 plugins (baseline: none)", "startup_50", "startup_0", "ms", 100, false, false},
        {"idle CPU, no plugins", "idle_cpu", "", "% of a core", 0.5, false, false},
        {"idle resident memory, no plugins", "idle_rss", "", "MiB", 8, false, false},
        {"  of which anonymous (not library pages)", "idle_anon", "", "MiB", 0, false, false},
    };
}

} // namespace bench

int main(int argc, char **argv) {
    bench::RunSize size{false, 1.0, 1, 20, 10.0, 0};
    std::vector<char *> arguments;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            size = {true, 0.0, 20, 1, 1.0, 0};
        } else if (std::strncmp(argv[i], "--min-seconds=", 14) == 0) {
            size.minSeconds = std::atof(argv[i] + 14);
        } else if (std::strncmp(argv[i], "--guest-plugin=", 15) == 0) {
            bench::AddGuestPlugin(argv[i] + 15);
        } else if (std::strncmp(argv[i], "--guest-file=", 13) == 0) {
            bench::AddGuestFile(argv[i] + 13);
        } else if (std::strncmp(argv[i], "--latency-dump=", 15) == 0) {
            bench::SetLatencyDump(argv[i] + 15);
        } else if (std::strncmp(argv[i], "--events=", 9) == 0) {
            size.fixedEvents = static_cast<unsigned>(std::strtoul(argv[i] + 9, nullptr, 10));
        } else {
            arguments.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) {
        return 2;
    }
    try {
        bench::RegisterBenchmarks(size);
        benchmark::RunSpecifiedBenchmarks();
        bench::StopSharedCore();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "benchmark failed: %s\n", error.what());
        return 1;
    }
    benchmark::Shutdown();
    // A figure that a failed or filtered-out benchmark left unmeasured, or a
    // core that did not stop cleanly, fails the run: the smoke run exists to
    // show that every path works.
    const int missing = bench::PrintTable(bench::TableRows());
    return missing == 0 && bench::CoreProcess::Failures() == 0 ? 0 : 1;
}
