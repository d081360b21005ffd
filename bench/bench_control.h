/*
 * The control block that the benchmark program shares with its plugins
 * inside the core: a file "bench.control" in the core's working directory,
 * mapped by both processes. The benchmark posts a command by filling the
 * parameters and advancing `generation`; the plugins count what reached
 * them and set `done` when `completed` reaches `expected`; each raising
 * thread counts itself in `finished` when it is through with the command.
 *
 * Waiting is done on process-shared futexes, so that neither side spins on
 * a machine whose two cores are busy with the other side.
 */
#ifndef BENCH_CONTROL_H
#define BENCH_CONTROL_H

#include <linux/futex.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define BENCH_CONTROL_FILE    "bench.control"
#define BENCH_MAX_RAISERS     4
#define BENCH_LATENCY_SAMPLES 4096

/* What the producer plugin's raising threads do for one command. */
enum BenchCommand {
    BENCH_RAISE_EVENTS = 1, /* `count` ordinary events each, `dataLength` bytes */
    BENCH_RAISE_SPACED = 2, /* one thread: events one at a time, stamped for latency */
    BENCH_START_JOBS = 3,   /* `count` job starts each */
    BENCH_SEND_PACKETS = 4, /* `count` supervisor packets each, `dataLength` bytes */
    BENCH_QUIT = 5          /* raising threads end (the plugin is closing) */
};

/* Event classes and the one type the benchmark events carry; the sink
 * plugins' masks select them (see CMakeLists.txt). */
#define BENCH_CLASS_SINGLE  0x1u /* the sink alone */
#define BENCH_CLASS_SHARED  0x2u /* the sink, the second sink and the keeper */
#define BENCH_CLASS_JOB     0x4u /* job starts: the sink's Read */
#define BENCH_CLASS_LATENCY 0x8u /* the sink alone, stamped */
#define BENCH_EVENT_TYPE    0x10u

typedef struct BenchControl {
    uint32_t generation; /* futex: advanced by the benchmark per command */
    uint32_t command;
    uint32_t raisers; /* raising threads taking part, 1 to BENCH_MAX_RAISERS */
    uint32_t count;   /* per raising thread */
    uint32_t dataLength;
    uint32_t eventClass;
    uint32_t spacingNs;                        /* BENCH_RAISE_SPACED: pause after each delivery */
    uint32_t expected;                         /* completions that end the command */
    uint32_t completed;                        /* completions so far (Writes, Reads or packets) */
    uint32_t done;                             /* futex: 1 once completed reached expected */
    uint32_t refused;                          /* raises answered with a non-zero Result */
    uint32_t finished;                         /* futex: raising threads done with the command */
    int64_t calledAt[BENCH_LATENCY_SAMPLES];   /* FlatPluginEvent was called */
    int64_t returnedAt[BENCH_LATENCY_SAMPLES]; /* FlatPluginEvent returned */
    int64_t writeAt[BENCH_LATENCY_SAMPLES];    /* the sink's Write began */
} BenchControl;

static inline int64_t BenchNow(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static inline uint32_t BenchLoad(const uint32_t *word) { return __atomic_load_n(word, __ATOMIC_ACQUIRE); }

static inline void BenchStore(uint32_t *word, uint32_t value) { __atomic_store_n(word, value, __ATOMIC_RELEASE); }

/* Shared (not private) futex operations: the word lives in a file mapping
 * seen by two processes. */
static inline void BenchWake(uint32_t *word) { syscall(SYS_futex, word, FUTEX_WAKE, 0x7fffffff, NULL, NULL, 0); }

/* Returns once *word differs from `seen`, or after the timeout (0 once it
 * has passed, 1 otherwise). */
static inline int BenchWaitWhile(uint32_t *word, uint32_t seen, int64_t timeoutNs) {
    const int64_t deadline = BenchNow() + timeoutNs;
    while (BenchLoad(word) == seen) {
        const int64_t left = deadline - BenchNow();
        if (left <= 0) {
            return 0;
        }
        struct timespec wait = {(time_t)(left / 1000000000), (long)(left % 1000000000)};
        syscall(SYS_futex, word, FUTEX_WAIT, seen, &wait, NULL, 0);
    }
    return 1;
}

/* Counts one completion; the one that reaches `expected` ends the command. */
static inline void BenchComplete(BenchControl *control) {
    const uint32_t completed = __atomic_add_fetch(&control->completed, 1, __ATOMIC_ACQ_REL);
    if (completed == BenchLoad(&control->expected)) {
        BenchStore(&control->done, 1);
        BenchWake(&control->done);
    }
}

#endif
