// Every figure: the real `core` with the bench plugins, driven through the
// shared control block and its supervisor socket, each beside its baseline.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "bench/bench_control.h"
#include "bench/benchmarks.h"
#include "bench/core_process.h"
#include "include/dvrplugin.h"

namespace bench {

namespace {

constexpr uint32_t SINK_ADDRESS = 0x0F200000; // the sink's ID 0x00F20000, bits 16-27
constexpr uint32_t FORWARDED_TYPE = 100;
constexpr unsigned SHARED_CONSUMERS = 3;
constexpr unsigned STARTUP_PLUGINS = 50;

int64_t PatienceNs() { return static_cast<int64_t>(Patience().count() * 1e9); }

// One core with the producer, the sink, the second sink and the keeper,
// shared by every benchmark of the event path.
class EventSession {
public:
    EventSession() {
        installation.AddPlugin("bench_producer", "bench_producer.so");
        installation.AddPlugin("bench_sink", "bench_sink.so");
        installation.AddPlugin("bench_sink2", "bench_sink2.so");
        installation.AddPlugin("bench_keeper", "bench_keeper.so");
        core = std::make_unique<CoreProcess>(installation);
        if (!core->WaitUntilStarted()) {
            throw std::runtime_error("the core did not start");
        }
    }
    EventSession(const EventSession &) = delete;
    EventSession &operator=(const EventSession &) = delete;

    CoreProcess &Core() { return *core; }
    BenchControl &Control() { return *control; }

    // Sets the completions that end the next command.
    void Expect(uint32_t expected) {
        control->expected = expected;
        control->raisers = 0; // until a command is posted
        control->refused = 0;
        BenchStore(&control->finished, 0);
        BenchStore(&control->completed, 0);
        BenchStore(&control->done, 0);
    }
    void Post(BenchCommand command, uint32_t raisers, uint32_t count, uint32_t dataLength, uint32_t eventClass) {
        control->command = command;
        control->raisers = raisers;
        control->count = count;
        control->dataLength = dataLength;
        control->eventClass = eventClass;
        control->spacingNs = LATENCY_PAUSE_NS;
        __atomic_add_fetch(&control->generation, 1, __ATOMIC_ACQ_REL);
        BenchWake(&control->generation);
    }
    // False when the expected completions did not all come. Also waits for
    // the raising threads: a command must not begin while one of them is
    // still on its way out of the previous one.
    bool WaitDone() { return BenchWaitWhile(&control->done, 0, PatienceNs()) && WaitRaisersFinished(); }
    bool WaitRaisersFinished() {
        uint32_t finished;
        while ((finished = BenchLoad(&control->finished)) < control->raisers) {
            if (!BenchWaitWhile(&control->finished, finished, PatienceNs())) {
                return false;
            }
        }
        return BenchLoad(&control->refused) == 0;
    }

private:
    struct Unmap {
        void operator()(BenchControl *control) const { munmap(control, sizeof *control); }
    };
    using MappedControl = std::unique_ptr<BenchControl, Unmap>;

    // Laid out before the core starts: the plugins map it when they load.
    static MappedControl MapControl(const std::string &path) {
        const int file = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (file < 0) {
            throw std::runtime_error("cannot make the control block");
        }
        void *mapped = MAP_FAILED;
        if (ftruncate(file, sizeof(BenchControl)) == 0) {
            mapped = mmap(nullptr, sizeof(BenchControl), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
        }
        close(file);
        if (mapped == MAP_FAILED) {
            throw std::runtime_error("cannot map the control block");
        }
        return MappedControl(static_cast<BenchControl *>(mapped));
    }

    // In this order: the core stops before the control block goes.
    Installation installation;
    MappedControl control{MapControl(installation.Root() + "/" + BENCH_CONTROL_FILE)};
    std::unique_ptr<CoreProcess> core;
};

std::unique_ptr<EventSession> sharedSession;

EventSession &Session() {
    if (!sharedSession) {
        sharedSession = std::make_unique<EventSession>();
    }
    return *sharedSession;
}

// Times a batch of the core's; nothing when it did not complete.
template <typename Batch>
std::optional<Seconds> TimeCore(Batch batch) {
    const auto start = Clock::now();
    if (!batch()) {
        return std::nullopt;
    }
    return Clock::now() - start;
}

// Alternates batches through the core with batches of the baseline, so that
// both meet the same load on a shared machine; records the median rate of
// each. The benchmark's own time is the core's.
template <typename CoreBatch, typename BaselineBatch>
void PairedBatches(benchmark::State &state, const Pair &names, double itemsPerBatch, CoreBatch coreBatch,
                   BaselineBatch baselineBatch) {
    std::vector<double> coreRates;
    std::vector<double> baselineRates;
    for (auto _ : state) {
        const auto elapsed = TimeCore(coreBatch);
        if (!elapsed) {
            state.SkipWithError("the core did not complete the batch");
            return;
        }
        state.SetIterationTime(elapsed->count());
        coreRates.push_back(itemsPerBatch / elapsed->count());
        baselineRates.push_back(itemsPerBatch / baselineBatch().count());
    }
    Record(names.core, Median(coreRates));
    Record(names.baseline, Median(baselineRates));
}

void Events(benchmark::State &state, const Pair &names, uint32_t raisers, uint32_t count, uint32_t length,
            uint32_t eventClass, uint32_t consumers) {
    EventSession &session = Session();
    PairedBatches(
        state, names, double(raisers) * count,
        [&] {
            session.Expect(raisers * count * consumers);
            session.Post(BENCH_RAISE_EVENTS, raisers, count, length, eventClass);
            return session.WaitDone();
        },
        [&] { return BareQueueThroughput(raisers, count, length, consumers); });
}

void Append(std::vector<int64_t> &all, const std::vector<int64_t> &more) {
    all.insert(all.end(), more.begin(), more.end());
}

void RecordLatencies(const std::string &name, const std::vector<int64_t> &latencies) {
    Record(name + "_p50", Percentile(latencies, 0.5) / 1000);
    Record(name + "_p99", Percentile(latencies, 0.99) / 1000);
}

// Every sample's stamps of one side, a line each: the side, the consuming
// thread, and when the raise (or push) was called, when it returned and when
// the Write (or consumer) began, in nanoseconds of the monotonic clock.
void DumpStamps(std::FILE *file, const char *side, const LatencyStamps &stamps) {
    for (std::size_t i = 0; i < stamps.calledAt.size(); ++i) {
        std::fprintf(file, "%s %d %lld %lld %lld\n", side, static_cast<int>(stamps.consumedBy[i]),
                     static_cast<long long>(stamps.calledAt[i]), static_cast<long long>(stamps.returnedAt[i]),
                     static_cast<long long>(stamps.consumedAt[i]));
    }
}

std::string latencyDumpPath;

void DumpLatencies(const LatencyStamps &core, const LatencyStamps &bare) {
    if (latencyDumpPath.empty()) {
        return;
    }
    std::FILE *file = std::fopen(latencyDumpPath.c_str(), "w");
    if (file == nullptr) {
        throw std::runtime_error("cannot write " + latencyDumpPath);
    }
    DumpStamps(file, "core", core);
    DumpStamps(file, "bare", bare);
    std::fclose(file);
}

void AppendStamps(LatencyStamps &all, const LatencyStamps &more) {
    Append(all.calledAt, more.calledAt);
    Append(all.returnedAt, more.returnedAt);
    Append(all.consumedAt, more.consumedAt);
    all.consumedBy.insert(all.consumedBy.end(), more.consumedBy.begin(), more.consumedBy.end());
}

// The core's samples and the bare queue's alternate in rounds, so that both
// meet the same load on a shared machine.
void Latency(benchmark::State &state, uint32_t count) {
    EventSession &session = Session();
    const BenchControl &control = session.Control();
    const uint32_t perRound = std::max(1u, count / LATENCY_ROUNDS);
    LatencyStamps core;
    LatencyStamps bare;
    for (auto _ : state) {
        for (unsigned round = 0; round < LATENCY_ROUNDS; ++round) {
            session.Expect(perRound);
            session.Post(BENCH_RAISE_SPACED, 1, perRound, 0, BENCH_CLASS_LATENCY);
            if (!session.WaitDone()) {
                state.SkipWithError("the core did not deliver every event");
                return;
            }
            Append(core.calledAt, {control.calledAt, control.calledAt + perRound});
            Append(core.returnedAt, {control.returnedAt, control.returnedAt + perRound});
            Append(core.consumedAt, {control.writeAt, control.writeAt + perRound});
            // The core's main thread runs the delivery loop.
            core.consumedBy.insert(core.consumedBy.end(), perRound, session.Core().Pid());
            AppendStamps(bare, BareQueueLatencies(perRound, std::chrono::nanoseconds(LATENCY_PAUSE_NS)));
        }
    }
    RecordLatencies("latency_call", Delays(core.calledAt, core.consumedAt));
    RecordLatencies("latency_return", Delays(core.returnedAt, core.consumedAt));
    RecordLatencies("bare_latency_call", Delays(bare.calledAt, bare.consumedAt));
    RecordLatencies("bare_latency_return", Delays(bare.returnedAt, bare.consumedAt));
    DumpLatencies(core, bare);
}

bool ReceivePackets(int socket, uint32_t count) {
    std::vector<char> packet(IPC_MAX_PACKET_LENGTH);
    const int timeoutMs = static_cast<int>(Patience().count() * 1000);
    for (uint32_t i = 0; i < count; ++i) {
        pollfd watched{socket, POLLIN, 0};
        if (poll(&watched, 1, timeoutMs) <= 0 || recv(socket, packet.data(), packet.size(), 0) <= 0) {
            return false;
        }
    }
    return true;
}

void PacketsToSupervisor(benchmark::State &state, uint32_t count) {
    EventSession &session = Session();
    PairedBatches(
        state, {"packets_out", "raw_packets_out"}, count,
        [&] {
            session.Expect(0);
            session.Post(BENCH_SEND_PACKETS, 1, count, PACKET_LENGTH, 0);
            return ReceivePackets(session.Core().Supervisor(), count) && session.WaitRaisersFinished();
        },
        [&] { return RawPacketsOut(count, PACKET_LENGTH); });
}

void PacketsToPlugin(benchmark::State &state, uint32_t count) {
    EventSession &session = Session();
    const std::vector<char> payload(PACKET_LENGTH - sizeof(IpcHeader), 0x5a);
    PairedBatches(
        state, {"packets_in", "raw_packets_in"}, count,
        [&] {
            session.Expect(count);
            for (uint32_t i = 0; i < count; ++i) {
                session.Core().SendPacket(FORWARDED_TYPE, SINK_ADDRESS, payload.data(), payload.size());
            }
            return session.WaitDone();
        },
        [&] { return RawPacketLoop(count, PACKET_LENGTH); });
}

void Jobs(benchmark::State &state, uint32_t count) {
    EventSession &session = Session();
    PairedBatches(
        state, {"jobs", "detached_threads"}, count,
        [&] {
            session.Expect(count);
            session.Post(BENCH_START_JOBS, 1, count, 0, BENCH_CLASS_JOB);
            return session.WaitDone();
        },
        [&] { return DetachedThreadCalls(count); });
}

// Milliseconds from the fork of a fresh core to its start-up line.
std::optional<double> StartupMs(const Installation &installation) {
    CoreProcess core(installation);
    const auto started = core.WaitUntilStarted();
    if (!started) {
        return std::nullopt;
    }
    return started->count() * 1000;
}

// Cores with the plugins and cores without, alternately.
void Startup(benchmark::State &state, unsigned plugins) {
    Installation withPlugins;
    for (unsigned i = 1; i <= plugins; ++i) {
        withPlugins.AddPlugin("bench_idle", "bench_idle_" + std::to_string(i) + ".so");
    }
    const Installation without;
    std::vector<double> samples;
    std::vector<double> baselineSamples;
    for (auto _ : state) {
        const auto sample = StartupMs(withPlugins);
        const auto baselineSample = StartupMs(without);
        if (!sample || !baselineSample) {
            state.SkipWithError("the core did not start");
            return;
        }
        state.SetIterationTime(*sample / 1000);
        samples.push_back(*sample);
        baselineSamples.push_back(*baselineSample);
    }
    Record("startup_50", Median(samples));
    Record("startup_0", Median(baselineSamples));
}

void Idle(benchmark::State &state, double seconds) {
    Installation installation;
    for (auto _ : state) {
        CoreProcess core(installation);
        if (!core.WaitUntilStarted()) {
            state.SkipWithError("the core did not start");
            return;
        }
        const double before = CpuSeconds(core.Pid());
        std::this_thread::sleep_for(Seconds(seconds));
        const double used = CpuSeconds(core.Pid()) - before;
        Record("idle_cpu", used / seconds * 100);
        Record("idle_rss", static_cast<double>(ResidentBytes(core.Pid())) / (1024 * 1024));
        Record("idle_anon", static_cast<double>(AnonymousBytes(core.Pid())) / (1024 * 1024));
    }
}

} // namespace

unsigned EventBatch(unsigned dataLength, const RunSize &size) {
    if (size.fixedEvents != 0) {
        return size.fixedEvents;
    }
    const unsigned batch = dataLength <= 4096 ? 20000 : 2000;
    return batch / size.batchScale;
}

void RegisterBenchmarks(const RunSize &size) {
    const int eventIterations = size.fixedEvents != 0 ? 1 : 0;
    for (const unsigned length : {64u, 4096u, 65536u}) {
        const Pair names{"events_1x1_" + std::to_string(length), "bare_1x1_" + std::to_string(length)};
        const unsigned count = EventBatch(length, size);
        Register(names.core, size, eventIterations,
                 [=](benchmark::State &state) { Events(state, names, 1, count, length, BENCH_CLASS_SINGLE, 1); });
    }
    const unsigned perRaiser = EventBatch(64, size) / BENCH_MAX_RAISERS;
    Register("events_4x1_64", size, eventIterations, [=](benchmark::State &state) {
        Events(state, {"events_4x1_64", "bare_4x1_64"}, BENCH_MAX_RAISERS, perRaiser, 64, BENCH_CLASS_SINGLE, 1);
    });
    Register("events_4x3_64", size, eventIterations, [=](benchmark::State &state) {
        Events(state, {"events_4x3_64", "bare_4x3_64"}, BENCH_MAX_RAISERS, perRaiser, 64, BENCH_CLASS_SHARED,
               SHARED_CONSUMERS);
    });
    const unsigned samples = LATENCY_SAMPLES / size.batchScale;
    Register("latency", size, 1, [=](benchmark::State &state) { Latency(state, samples); });
    const unsigned packets = 10000 / size.batchScale;
    Register("packets_out", size, 0, [=](benchmark::State &state) { PacketsToSupervisor(state, packets); });
    Register("packets_in", size, 0, [=](benchmark::State &state) { PacketsToPlugin(state, packets); });
    const unsigned jobs = 1000 / size.batchScale;
    Register("jobs", size, 0, [=](benchmark::State &state) { Jobs(state, jobs); });
    Register("startup", size, size.startupSamples, [](benchmark::State &state) { Startup(state, STARTUP_PLUGINS); });
    Register("idle", size, 1, [=](benchmark::State &state) { Idle(state, size.idleSeconds); });
}

void StopSharedCore() { sharedSession.reset(); }

void SetLatencyDump(const std::string &path) { latencyDumpPath = path; }

} // namespace bench
